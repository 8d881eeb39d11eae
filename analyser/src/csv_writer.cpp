#include "error.h"
#include "format.h"
#include "output.h"

#include <cerrno>
#include <cstring>

namespace analyser {

void write_csv(std::ostream &out, const Spectrum &spectrum)
{
    out << "frequency_Hz,A_" << spectrum.unit << ",B_" << spectrum.unit << '\n';
    for (std::size_t i = 0; i < spectrum.frequency.size(); ++i)
        // 9 significant digits give every float back exactly.
        out << format("%.10g,%.9g,%.9g\n", spectrum.frequency[i], spectrum.a[i],
                      spectrum.b[i]);
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

}  // namespace analyser
