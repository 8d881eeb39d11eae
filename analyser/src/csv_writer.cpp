#include "error.h"
#include "format.h"
#include "output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace analyser {

void write_csv(std::ostream &out, const Spectrum &spectrum)
{
    out << "frequency_Hz,A_" << spectrum.unit << ",B_" << spectrum.unit << '\n';
    for (std::size_t i = 0; i < spectrum.frequency.size(); ++i)
        out << format("%.10g,%.*g,%.*g\n", spectrum.frequency[i], spectrum.digits, spectrum.a[i],
                      spectrum.digits, spectrum.b[i]);
}

std::ofstream open_output(const std::string &path)
{
    std::ofstream out(path, std::ios::out | std::ios::trunc);
    if (!out)
        throw Error("cannot write '" + path + "': " + std::strerror(errno));
    return out;
}

void finish_output(std::ofstream &out, const std::string &path)
{
    out.close();
    if (!out)
        throw Error("cannot write '" + path + "'");
}

void finish_standard_stream(std::ostream &out, const char *name)
{
    out.flush();
    if (!out) {
        // The failed write set errno; a failed stream writes nothing after it.
        const int error = errno;
        throw Error(std::string("cannot write to ") + name +
                    (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    }
}

void reserve_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDONLY);  // takes the lowest free descriptor: fd
}

}  // namespace analyser
