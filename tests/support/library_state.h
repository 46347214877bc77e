// What the dynamic linker and the file system say, for tests that hold the
// plugin manager against them: whether a library is mapped in this process,
// and the order in which a directory lists its entries (the raw order the
// loader walks, which no test can choose).
#pragma once

#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <string>
#include <vector>

// Whether the library at `path` is mapped in this process. The dynamic
// linker is asked without loading anything; the reference a positive answer
// takes is given back at once.
inline bool isMapped(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

// Every entry name of `directory`, in the order readdir returns them.
inline std::vector<std::string> listedEntries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return names;
    while (const dirent* entry = readdir(listing)) names.emplace_back(entry->d_name);
    closedir(listing);
    return names;
}

// `names`, reordered as `directory` lists them; names it does not list are
// dropped.
inline std::vector<std::string> inListingOrder(const std::string& directory,
                                               const std::vector<std::string>& names) {
    std::vector<std::string> ordered;
    for (const std::string& entry : listedEntries(directory)) {
        if (std::find(names.begin(), names.end(), entry) != names.end()) ordered.push_back(entry);
    }
    return ordered;
}
