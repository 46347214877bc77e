// The check the loader makes before it hands a file to the dynamic loader:
// a shared object cut short must be refused, because the dynamic loader maps
// it anyway and the process dies of SIGBUS when it reads past the end. Real
// plugin libraries of the test tree are cut at many lengths; each cut the
// check lets through is then opened by the dynamic loader in a child process,
// which must not die of a signal.

#include "plugins/elf_check.h"

#include <dlfcn.h>
#include <elf.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "plugin_folder.h"
#include "temp_dir.h"

namespace {

// Opens `path` with the dynamic loader in a child process; true unless the
// child was killed by a signal.
bool openSurvives(const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) dlclose(handle);
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return !WIFSIGNALED(status);
}

class ElfCheck : public testing::Test {
protected:
    std::string cut(const std::string& library, std::size_t length) {
        const std::string whole = readFile(testPluginPath(library));
        const std::string path = directory / (library + "_" + std::to_string(length) + ".so");
        writeFile(path, whole.substr(0, length));
        return path;
    }

    TempDir directory;
};

TEST_F(ElfCheck, WholeLibrariesPass) {
    for (const char* library : {"hard_named", "probe"}) {
        EXPECT_TRUE(elfFitsInFile(testPluginPath(library).c_str())) << library;
    }
}

// Whatever is not a 64-bit ELF file is the dynamic loader's to refuse.
TEST_F(ElfCheck, OtherFilesAreLeftToTheDynamicLoader) {
    writeFile(directory / "text.so", "this is a text file, not a library\n");
    writeFile(directory / "empty.so", "");
    std::string elf32(64, '\0');
    std::memcpy(&elf32[0], ELFMAG, SELFMAG);
    elf32[EI_CLASS] = ELFCLASS32;
    writeFile(directory / "elf32.so", elf32);
    for (const char* name : {"text.so", "empty.so", "elf32.so", "absent.so"}) {
        EXPECT_TRUE(elfFitsInFile((directory / name).c_str())) << name;
    }
}

// The ELF header alone: the program header table it points to is missing.
TEST_F(ElfCheck, HeaderWithoutItsProgramHeadersIsRefused) {
    EXPECT_FALSE(elfFitsInFile(cut("hard_named", sizeof(Elf64_Ehdr)).c_str()));
}

// A program header that puts a loaded segment past the end of the file.
TEST_F(ElfCheck, SegmentBeyondTheEndIsRefused) {
    std::string library = readFile(testPluginPath("hard_named"));
    Elf64_Ehdr header;
    std::memcpy(&header, library.data(), sizeof header);
    for (std::size_t index = 0; index < header.e_phnum; ++index) {
        Elf64_Phdr segment;
        char* at = &library[header.e_phoff + index * sizeof segment];
        std::memcpy(&segment, at, sizeof segment);
        if (segment.p_type != PT_LOAD) continue;
        segment.p_offset = UINT64_MAX - 8;  // far past the end; adding the size overflows
        std::memcpy(at, &segment, sizeof segment);
        break;
    }
    writeFile(directory / "far.so", library);
    EXPECT_FALSE(elfFitsInFile((directory / "far.so").c_str()));
}

// Cut at every 256th byte: every cut is either refused, or opens (or fails
// to open) without killing the process that opens it.
TEST_F(ElfCheck, NoCutThatPassesKillsTheDynamicLoader) {
    const std::size_t whole = readFile(testPluginPath("hard_named")).size();
    std::size_t refused = 0;
    for (std::size_t length = 0; length < whole; length += 256) {
        const std::string path = cut("hard_named", length);
        if (!elfFitsInFile(path.c_str())) {
            ++refused;
            continue;
        }
        EXPECT_TRUE(openSurvives(path)) << "a cut at " << length << " bytes passed and crashed";
    }
    // Most of a small library is its loaded segments.
    EXPECT_GT(refused, whole / 256 / 2);
}

}  // namespace
