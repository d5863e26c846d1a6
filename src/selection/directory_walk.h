// A depth-first walk over every entry of a directory tree that keeps a few
// descriptors open at any depth and memory in proportion to the tree.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "selection/read_monitor.h"
#include "selection/unique_fd.h"

namespace zentrail {

// Yields the entries as the standard library's recursive directory iterator
// without options does: depth first, each directory before its contents,
// the entries of one directory in the order the system lists them, "." and
// ".." never; links to directories are yielded but not entered. A directory
// that no longer exists when the walk reaches it (gone, or replaced by a
// file or a link) is yielded and holds nothing.
//
// Each directory is listed whole into memory when entered and then only its
// descriptor is kept (for opening its subdirectories by name); the walk goes
// back up through "..", checked against the directory it listed. So the
// walk never needs a path longer than one name, whatever the depth.
//
// With `passes_over`, a directory (the root too) that holds an entry whose
// name it is true of is walked as if it were empty: it is yielded, as an
// entry of its parent, and nothing under it is.
class DirectoryWalk {
public:
    using NameTest = bool (*)(const char* name);

    // Opens `root_dir` (following a link). Throws
    // std::filesystem::filesystem_error naming it when it cannot be listed,
    // std::bad_alloc when memory runs out. `monitor` (may be null) is polled
    // every few hundred entries and may throw to end the walk.
    explicit DirectoryWalk(const char* root_dir, ReadMonitor* monitor = nullptr, NameTest passes_over = nullptr);
    ~DirectoryWalk();
    DirectoryWalk(const DirectoryWalk&) = delete;
    DirectoryWalk& operator=(const DirectoryWalk&) = delete;

    // Moves to the next entry (entering the directory yielded last, if it is
    // one); false when the tree is done. Throws as the constructor does,
    // naming the directory that could not be opened or read.
    bool next();

    // The entry's path: `root_dir` as given, then the names below it joined
    // with "/" (no second "/" after a root that ends with one).
    const std::string& path() const { return current_path; }

private:
    // One directory being walked: where its listing lies in `listings` (it
    // runs to the end of it, as the deepest level's listing is always last)
    // and which entry comes next; the length of its path in `current_path`
    // and whether a "/" follows it there; its identity, to recognise it
    // again through "..".
    struct Level {
        std::size_t listing_begin;
        std::size_t next_entry;
        std::size_t path_length;
        bool separator;
        dev_t device;
        ino_t inode;
    };

    void _list(UniqueFd fd, std::size_t path_length, bool separator);
    void _enter_pending_directory();
    void _leave_directory();
    UniqueFd _reopen_from_root() const;
    bool _is_directory(unsigned char type, const char* name) const;
    void _count_work();

    std::string root_dir;
    ReadMonitor* monitor;
    NameTest passes_over;
    UniqueFd current;  // the deepest level's directory; none once it is gone from its place
    std::vector<Level> levels;
    // The listings of the levels, deepest last: per entry a type byte (as in
    // d_type), the name and a NUL.
    std::vector<char> listings;
    std::string current_path;
    // The entry yielded last is a directory, entered on the next step; its
    // name stands at this offset of `listings`.
    bool directory_pending = false;
    std::size_t pending_name = 0;
    unsigned work = 0;
};

}  // namespace zentrail
