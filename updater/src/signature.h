// The cryptography of signed releases, all of it from libcrypto: SHA-256 of
// file content and Ed25519 signatures checked against the board's keys.
#ifndef QN_UPDATER_SIGNATURE_H
#define QN_UPDATER_SIGNATURE_H

#include <cstddef>
#include <string>

// The folder of trusted public keys (PEM, *.pem). It lies outside the
// install root so that no update can replace what it is checked against.
extern const char *const kKeysFolder;

// SHA-256 fed piece by piece.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void add(const void *data, size_t size);
    void add_zeros(unsigned long long count);  // a hole of a sparse file
    // Lowercase hex of everything added; the hash starts again afterwards.
    std::string hex();
    void restart() { hex(); }

private:
    void *context_;
};

// Hashes what is left of fd from its current offset. False with errno set.
bool hash_file(int fd, std::string &hex, unsigned long long &size);

enum class Keys {
    none,       // no *.pem in the keys folder: releases need no signature
    present,    // at least one: only a signed release is installed
    unreadable  // the folder could not be listed (why set)
};

Keys find_keys(std::string &why);

// True when signature is an Ed25519 signature of message by one of the
// keys; otherwise why says what failed.
bool signed_by_a_key(const std::string &message, const std::string &signature, std::string &why);

#endif
