// Finding the executable from the name it was started by: the PATH search
// and the resolution of relative, bare and unusable names.

#include "app/executable_path.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Sets or, with no value, unsets an environment variable for the scope and
// puts the old value back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name(name) {
        if (const char* old = std::getenv(name)) previous = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (previous) {
            setenv(name, previous->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

private:
    const char* name;
    std::optional<std::string> previous;
};

class ExecutablePath : public testing::Test {
protected:
    // A file named "prog" in the directory `name`, made executable or not.
    std::string makeProgram(const std::string& name, bool executable = true) {
        fs::create_directories(root / name);
        const std::string path = root / (name + "/prog");
        writeFile(path, "#!/bin/sh\n");
        chmod(path.c_str(), executable ? 0755 : 0644);
        return path;
    }

    std::string dirPath(const std::string& name) {
        fs::create_directories(root / name);
        return root / name;
    }

    static std::string runningExecutable() { return fs::canonical("/proc/self/exe").string(); }

    TempDir root;
};

TEST_F(ExecutablePath, SearchTakesTheFirstMatchInPathOrder) {
    const std::string first = makeProgram("one");
    makeProgram("two");
    const wxString found = searchPath("prog", dirPath("empty") + ":" + root / "one:" + root / "two");
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(fs::equivalent(found.utf8_string(), first)) << found;
}

TEST_F(ExecutablePath, SearchSkipsFilesThatCannotBeRunAndDirectories) {
    makeProgram("plain", false);
    fs::create_directories(root / "holder/prog");
    const std::string program = makeProgram("bin");
    const wxString found = searchPath("prog", root / "plain:" + root / "holder:" + root / "bin");
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(fs::equivalent(found.utf8_string(), program)) << found;
    EXPECT_EQ(searchPath("prog", root / "plain:" + root / "holder"), wxString());
}

TEST_F(ExecutablePath, SearchFindsNothingWhereThereIsNothing) {
    EXPECT_EQ(searchPath("prog", dirPath("empty") + ":" + root / "missing"), wxString());
}

// An empty entry, at the start, in the middle or at the end, stands for the
// current directory, in its place in the order.
TEST_F(ExecutablePath, EmptySearchEntryIsTheCurrentDirectory) {
    const std::string here = makeProgram("here");
    const std::string later = makeProgram("later");
    WorkingDirectory cwd(root / "here");
    for (const std::string& path : {":" + root / "later", root / "empty:" + ":" + root / "later",
                                    root / "empty:"}) {
        const wxString found = searchPath("prog", path);
        ASSERT_FALSE(found.empty()) << path;
        EXPECT_TRUE(fs::equivalent(found.utf8_string(), here)) << path << " gave " << found;
    }
    EXPECT_TRUE(fs::equivalent(searchPath("prog", root / "later:").utf8_string(), later));
}

TEST_F(ExecutablePath, RelativeNameIsTakenAgainstTheCurrentDirectory) {
    const std::string program = makeProgram("bin");
    WorkingDirectory cwd(dirPath("sub"));
    ScopedVariable path("PATH", "/usr/bin:/bin");
    EXPECT_EQ(resolveExecutablePath("../bin/prog").GetFullPath(), program);
    EXPECT_EQ(resolveExecutablePath("./../sub/../bin/prog").GetFullPath(), program);
}

TEST_F(ExecutablePath, AbsoluteNameIsNormalised) {
    const std::string program = makeProgram("bin");
    EXPECT_EQ(resolveExecutablePath(root / "bin/./x/../prog").GetFullPath(), program);
}

// A link is followed to the executable, so that a server started through
// /usr/sbin/tessard finds its plugins beside the real file. Catches a server
// that looks for its plugins beside the link, finds none and runs empty.
TEST_F(ExecutablePath, LinkIsFollowedToTheExecutable) {
    const std::string program = makeProgram("bin");
    fs::create_directories(root / "other");
    fs::create_symlink(program, root / "other/prog");
    fs::create_directory_symlink(root / "bin", root / "linked");
    EXPECT_EQ(resolveExecutablePath(root / "other/prog").GetFullPath(), program);
    EXPECT_EQ(resolveExecutablePath(root / "linked/prog").GetFullPath(), program);
}

TEST_F(ExecutablePath, BareNameIsFoundThroughPath) {
    const std::string program = makeProgram("bin");
    makeProgram("plain", false);
    WorkingDirectory cwd(dirPath("sub"));
    ScopedVariable path("PATH", root / "plain:" + root / "bin:/usr/bin");
    EXPECT_EQ(resolveExecutablePath("prog").GetFullPath(), program);
}

TEST_F(ExecutablePath, BareNameInTheCurrentDirectoryEntryBecomesAbsolute) {
    const std::string program = makeProgram("bin");
    WorkingDirectory cwd(root / "bin");
    ScopedVariable path("PATH", "/usr/bin::/bin");
    const wxFileName resolved = resolveExecutablePath("prog");
    EXPECT_TRUE(resolved.IsAbsolute());
    EXPECT_EQ(resolved.GetFullPath(), program);
}

// A name that leads nowhere falls back to the file the process runs.
TEST_F(ExecutablePath, UnusableNameFallsBackToTheRunningFile) {
    makeProgram("plain", false);
    WorkingDirectory cwd(dirPath("sub"));
    ScopedVariable path("PATH", root / "plain");
    EXPECT_EQ(resolveExecutablePath("no-such-program").GetFullPath(), runningExecutable());
    EXPECT_EQ(resolveExecutablePath("prog").GetFullPath(), runningExecutable());
    EXPECT_EQ(resolveExecutablePath(wxString()).GetFullPath(), runningExecutable());
}

TEST_F(ExecutablePath, BareNameWithoutPathFallsBackToTheRunningFile) {
    makeProgram("sub");
    WorkingDirectory cwd(root / "sub");
    ScopedVariable path("PATH", std::nullopt);
    EXPECT_EQ(resolveExecutablePath("prog").GetFullPath(), runningExecutable());
}

}  // namespace
