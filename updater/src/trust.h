// Whether an entry could have been written by someone other than root or
// the user running the updater: then what it holds cannot be trusted.
#ifndef QN_UPDATER_TRUST_H
#define QN_UPDATER_TRUST_H

#include <string>

#include <sys/stat.h>
#include <unistd.h>

// "" when the entry belongs to root or the user running the updater and is
// writable by neither group nor others; otherwise why not, as "owned by
// user N" or "writable by group or others".
inline std::string why_untrusted(const struct stat &st)
{
    if (st.st_uid != 0 && st.st_uid != getuid())
        return "owned by user " + std::to_string(st.st_uid);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return "writable by group or others";
    return {};
}

#endif
