#include "selection/directory_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

namespace zentrail {

namespace {

// Often enough that a watcher hears from a walk every few milliseconds.
constexpr unsigned POLL_EVERY_ENTRIES = 256;
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The kernel or the C library running out of memory is running out of
// memory, whoever reports it.
[[noreturn]] void fail(const char* what, const std::string& path, int error) {
    if (error == ENOMEM) throw std::bad_alloc();
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// What opening a listed directory by name gives when it is no longer there,
// or is now a file or a link (O_NOFOLLOW with O_DIRECTORY gives ENOTDIR).
bool vanished(int error) { return error == ENOENT || error == ENOTDIR; }

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

bool is_same_directory(int fd, dev_t device, ino_t inode) {
    struct stat status;
    return ::fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

}  // namespace

DirectoryWalk::DirectoryWalk(const char* root, ReadMonitor* monitor, NameTest passes_over)
    : root_dir(root), monitor(monitor), passes_over(passes_over), current_path(root) {
    UniqueFd fd(::open(root, DIRECTORY_FLAGS));
    if (!fd) fail("cannot open directory", current_path, errno);
    _list(std::move(fd), current_path.size(), !current_path.empty() && current_path.back() != '/');
}

DirectoryWalk::~DirectoryWalk() = default;

// Reads the whole directory of `fd` (whose path is `current_path`) into
// `listings` as a new deepest level (left empty when `passes_over` marks
// it), and keeps `fd` for opening its subdirectories.
void DirectoryWalk::_list(UniqueFd fd, std::size_t path_length, bool separator) {
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) fail("cannot read directory", current_path, errno);
    // The listing reads through a second descriptor, which the stream owns
    // and closes; `fd` stays for openat.
    UniqueFd listing_fd(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!listing_fd) fail("cannot read directory", current_path, errno);
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing_fd.get()));
    if (!dir) fail("cannot read directory", current_path, errno);
    listing_fd.release();
    const std::size_t begin = listings.size();
    levels.push_back(Level{begin, begin, path_length, separator, status.st_dev, status.st_ino});
    bool passed_over = false;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) fail("cannot read directory", current_path, errno);
            break;
        }
        if (is_dot_or_dot_dot(entry->d_name)) continue;
        _count_work();
        if (passed_over) continue;
        if (passes_over != nullptr && passes_over(entry->d_name)) {
            passed_over = true;
            listings.resize(begin);
            continue;
        }
        listings.push_back(static_cast<char>(entry->d_type));
        listings.insert(listings.end(), entry->d_name, entry->d_name + std::strlen(entry->d_name) + 1);
    }
    current = std::move(fd);
}

bool DirectoryWalk::next() {
    if (directory_pending) {
        directory_pending = false;
        _enter_pending_directory();
    }
    while (!levels.empty()) {
        Level& top = levels.back();
        if (top.next_entry == listings.size()) {
            _leave_directory();
            continue;
        }
        const char* entry = listings.data() + top.next_entry;
        const auto type = static_cast<unsigned char>(entry[0]);
        const char* name = entry + 1;
        const std::size_t length = std::strlen(name);
        current_path.resize(top.path_length);
        if (top.separator) current_path += '/';
        current_path.append(name, length);
        pending_name = top.next_entry + 1;
        top.next_entry += length + 2;
        directory_pending = _is_directory(type, name);
        _count_work();
        return true;
    }
    return false;
}

// Like the standard walk: the type the listing gives, or the entry's own
// (not its link target's) when the file system gives none.
bool DirectoryWalk::_is_directory(unsigned char type, const char* name) const {
    if (type == DT_DIR) return true;
    if (type != DT_UNKNOWN || !current) return false;
    struct stat status;
    if (::fstatat(current.get(), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (vanished(errno)) return false;
        fail("cannot read the type of", current_path, errno);
    }
    return S_ISDIR(status.st_mode);
}

void DirectoryWalk::_enter_pending_directory() {
    if (!current) return;  // its parent is gone from its place
    UniqueFd fd(::openat(current.get(), listings.data() + pending_name, DIRECTORY_FLAGS | O_NOFOLLOW));
    if (!fd) {
        if (vanished(errno)) return;  // nothing there to read
        fail("cannot open directory", current_path, errno);
    }
    _list(std::move(fd), current_path.size(), true);
}

void DirectoryWalk::_leave_directory() {
    listings.resize(levels.back().listing_begin);
    levels.pop_back();
    if (levels.empty()) {
        current.reset();
        return;
    }
    const Level& parent = levels.back();
    UniqueFd fd;
    if (current) fd.reset(::openat(current.get(), "..", DIRECTORY_FLAGS));
    // The directory left was moved elsewhere while it was walked: find the
    // parent again by its names from the root. If it is not there either,
    // its remaining entries are still yielded but none is entered.
    if (!fd || !is_same_directory(fd.get(), parent.device, parent.inode)) fd = _reopen_from_root();
    current = std::move(fd);
}

UniqueFd DirectoryWalk::_reopen_from_root() const {
    UniqueFd fd(::open(root_dir.c_str(), DIRECTORY_FLAGS));
    for (std::size_t i = 1; fd && i < levels.size(); ++i) {
        const Level& above = levels[i - 1];
        const std::size_t begin = above.path_length + (above.separator ? 1 : 0);
        const std::string name = current_path.substr(begin, levels[i].path_length - begin);
        fd.reset(::openat(fd.get(), name.c_str(), DIRECTORY_FLAGS | O_NOFOLLOW));
    }
    if (!fd && errno == ENOMEM) throw std::bad_alloc();
    if (fd && !is_same_directory(fd.get(), levels.back().device, levels.back().inode)) fd.reset();
    return fd;
}

void DirectoryWalk::_count_work() {
    if (monitor != nullptr && ++work % POLL_EVERY_ENTRIES == 0) monitor->poll(0);
}

}  // namespace zentrail
