// Whether a staged tree may be installed as a release: with trusted keys on
// the board, only under a manifest signed by one of them and no older than
// the installed release's. Also keeps the installed release's manifest.
#ifndef QN_UPDATER_RELEASE_H
#define QN_UPDATER_RELEASE_H

#include <memory>
#include <string>

#include "manifest.h"

struct Release {
    bool signed_release = false;  // keys are installed: the check below is in force
    std::string text;             // the staged manifest, as it was signed
    Manifest manifest;
    std::unique_ptr<ManifestCheck> check;
};

// Without keys release.signed_release stays false. With keys, reads the
// staging root's .updater/manifest and its signature, checks both and the
// version against the kept manifest's. False with why set: refuse.
bool open_release(int staging, int records, Release &release, std::string &why);

// Before an update's journal is written: a signed release's manifest is
// staged to be put in place with the tree. (An update without one makes
// the kept manifest go at its finish: Plan::forget_manifest.)
bool prepare_kept_manifest(int records, const Release &release, std::string &why);

// An update with nothing to install still records a signed release's
// manifest when it differs from the kept one (one rename).
void keep_manifest_of_unchanged_tree(int records, const Release &release);

#endif
