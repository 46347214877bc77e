#include "plugins/elf_check.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// Closes the descriptor when the scope ends.
class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor) : descriptor(descriptor) {}
    ~FileDescriptor() {
        if (descriptor >= 0) close(descriptor);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return descriptor; }

private:
    const int descriptor;
};

bool readAt(int descriptor, void* into, std::size_t bytes, std::uint64_t offset) {
    return pread(descriptor, into, bytes, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(bytes);
}

// Whether [offset, offset + length) lies inside a file of `size` bytes,
// without overflowing on hostile values.
bool inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
    return offset <= size && length <= size - offset;
}

bool isElf64(const Elf64_Ehdr& header) {
    return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
           header.e_ident[EI_CLASS] == ELFCLASS64;
}

// Whether every segment the dynamic loader maps or reads lies in the file.
bool segmentsFit(int descriptor, const Elf64_Ehdr& header, std::uint64_t size) {
    for (std::uint64_t index = 0; index < header.e_phnum; ++index) {
        Elf64_Phdr segment;
        if (!readAt(descriptor, &segment, sizeof segment,
                    header.e_phoff + index * header.e_phentsize)) {
            return false;
        }
        const bool read = segment.p_type == PT_LOAD || segment.p_type == PT_DYNAMIC;
        if (read && !inside(segment.p_offset, segment.p_filesz, size)) return false;
    }
    return true;
}

}  // namespace

bool elfFitsInFile(const char* path) {
    const FileDescriptor file(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status;
    if (file.get() < 0 || fstat(file.get(), &status) != 0) return true;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    Elf64_Ehdr header;
    if (!readAt(file.get(), &header, sizeof header, 0) || !isElf64(header)) return true;
    // A table of entries of another size is refused by the dynamic loader.
    if (header.e_phentsize != sizeof(Elf64_Phdr)) return true;
    if (!inside(header.e_phoff, std::uint64_t{header.e_phnum} * sizeof(Elf64_Phdr), size)) {
        return false;
    }
    return segmentsFit(file.get(), header, size);
}
