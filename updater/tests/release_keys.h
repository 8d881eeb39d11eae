// Release keys made with the stock tool, as a release script makes them.
#ifndef QN_UPDATER_TESTS_RELEASE_KEYS_H
#define QN_UPDATER_TESTS_RELEASE_KEYS_H

#include "scratch.h"

#include <cstdlib>
#include <filesystem>
#include <string>

inline bool shell(const std::string &command)
{
    return std::system((command + " 2>/dev/null").c_str()) == 0;
}

struct ReleaseKeys {
    qn::test::ScratchDir dir{"updater-keys", "/var/tmp"};
    std::string trusted() const { return dir.file("trusted"); }
    std::string key(const std::string &name) const { return dir.file(name + "-key.pem"); }
    bool make()
    {
        std::filesystem::create_directories(trusted());
        for (const char *name : {"release", "other"})
            if (!shell("openssl genpkey -algorithm ed25519 -out " + key(name)))
                return false;
        return shell("openssl pkey -in " + key("release") + " -pubout -out " + trusted() +
                     "/release.pem");
    }
    // Signs the manifest staged in staging/.updater.
    bool sign(const std::string &name, const std::string &staging) const
    {
        return shell("openssl pkeyutl -sign -rawin -inkey " + key(name) + " -in " + staging +
                     "/.updater/manifest -out " + staging + "/.updater/manifest.sig");
    }
};

#endif
