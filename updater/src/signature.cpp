#include "signature.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <dirent.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <unistd.h>

#include "records.h"

const char *const kKeysFolder = "/etc/updater/keys";

namespace {

EVP_MD_CTX *context_of(void *context) { return static_cast<EVP_MD_CTX *>(context); }

bool is_pem_name(const std::string &name)
{
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".pem") == 0;
}

// The names of *.pem in the keys folder, or false when it cannot be listed
// (a missing folder is an empty one).
bool key_names(std::vector<std::string> &names, std::string &why)
{
    DIR *folder = opendir(kKeysFolder);
    if (!folder) {
        if (errno == ENOENT || errno == ENOTDIR)
            return true;
        why = std::string("cannot list ") + kKeysFolder + " (" + strerror(errno) + ")";
        return false;
    }
    errno = 0;
    while (const dirent *entry = readdir(folder)) {
        if (is_pem_name(entry->d_name))
            names.push_back(entry->d_name);
    }
    const int error = errno;
    closedir(folder);
    if (error != 0) {
        why = std::string("cannot list ") + kKeysFolder + " (" + strerror(error) + ")";
        return false;
    }
    return true;
}

EVP_PKEY *read_key(const std::string &name)
{
    const std::string path = std::string(kKeysFolder) + "/" + name;
    FILE *file = fopen(path.c_str(), "re");
    if (!file)
        return nullptr;
    EVP_PKEY *key = PEM_read_PUBKEY(file, nullptr, nullptr, nullptr);
    fclose(file);
    if (key && EVP_PKEY_get_base_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        return nullptr;
    }
    return key;
}

bool verifies(EVP_PKEY *key, const std::string &message, const std::string &signature)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool good =
        context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char *>(signature.data()),
                         signature.size(), reinterpret_cast<const unsigned char *>(message.data()),
                         message.size()) == 1;
    EVP_MD_CTX_free(context);
    return good;
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new())
{
    if (!context_ || EVP_DigestInit_ex(context_of(context_), EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_of(context_)); }

void Sha256::add(const void *data, size_t size)
{
    EVP_DigestUpdate(context_of(context_), data, size);
}

void Sha256::add_zeros(unsigned long long count)
{
    static const char zeros[64 << 10] = {};
    while (count > 0) {
        const size_t part = count < sizeof zeros ? static_cast<size_t>(count) : sizeof zeros;
        add(zeros, part);
        count -= part;
    }
}

std::string Sha256::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_of(context_), digest, &size);
    EVP_DigestInit_ex(context_of(context_), EVP_sha256(), nullptr);
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        text += pair;
    }
    return text;
}

bool hash_file(int fd, std::string &hex, unsigned long long &size)
{
    Sha256 hash;
    size = 0;
    const bool read = read_each(fd, [&](const char *data, size_t length) {
        hash.add(data, length);
        size += length;
    });
    hex = hash.hex();
    return read;
}

Keys find_keys(std::string &why)
{
    std::vector<std::string> names;
    if (!key_names(names, why))
        return Keys::unreadable;
    return names.empty() ? Keys::none : Keys::present;
}

// Every key is tried: a key file that cannot be read or is no Ed25519 key
// verifies nothing, but does not stop the others.
bool signed_by_a_key(const std::string &message, const std::string &signature, std::string &why)
{
    std::vector<std::string> names;
    if (!key_names(names, why))
        return false;
    for (const std::string &name : names) {
        EVP_PKEY *key = read_key(name);
        const bool good = key && verifies(key, message, signature);
        EVP_PKEY_free(key);
        if (good)
            return true;
    }
    why = "the manifest's signature is not one of a trusted key";
    return false;
}
