// zentrail-dump: prints archive files as comma-separated text lines.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "output/writer.h"
#include "selection/explorer.h"
#include "selection/filter.h"

namespace {

constexpr const char* USAGE =
    "usage: zentrail-dump [--signal CODE]... FILE...\n"
    "       zentrail-dump [--signal CODE]... --root DIR --from TEXT --to TEXT\n"
    "\n"
    "Prints every record of the given archive files as one comma-separated line:\n"
    "two empty fields, class, subtype, detail, signal id, then the values.\n"
    "\n"
    "  FILE...           archive files, read in the order given\n"
    "  --root DIR        find the archive files under DIR whose day (from the\n"
    "                    name, as in 2024-03-01_plant.vlx) overlaps the window\n"
    "                    --from TEXT .. --to TEXT, e.g. \"2024-03-01 00:00:00\";\n"
    "                    they are read in byte order of their paths\n"
    "  --signal CODE     print only the records of the signal of CODE\n"
    "                    (id * 1024 + index; the index is ignored here); may be\n"
    "                    repeated. Without it, every record is printed\n"
    "  -h, --help        show this help\n"
    "\n"
    "A path that is not a regular file (a directory, a pipe) reads as empty.\n"
    "On a malformed record the error item's line is printed, then the message;\n"
    "the exit status is 1 on any failure and 2 on a usage error.\n";

struct Options {
    std::vector<int> signals;
    std::vector<std::string> files;
    const char* root = nullptr;
    const char* from = nullptr;
    const char* to = nullptr;
};

[[noreturn]] void usage_error(const char* message) {
    std::fprintf(stderr, "zentrail-dump: %s\n\n%s", message, USAGE);
    std::exit(2);
}

bool parse_code(const char* text, int* code) {
    errno = 0;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
    *code = static_cast<int>(value);
    return true;
}

Options parse_options(int argc, char** argv) {
    Options options;
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) usage_error((std::string(name) + " needs a value").c_str());
            return argv[++i];
        };
        if (only_files || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
            options.files.emplace_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            only_files = true;
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            std::fputs(USAGE, stdout);
            std::exit(0);
        } else if (std::strcmp(arg, "--signal") == 0) {
            int code = 0;
            if (!parse_code(value("--signal"), &code)) usage_error("--signal takes a whole number");
            options.signals.push_back(code);
        } else if (std::strcmp(arg, "--root") == 0) {
            options.root = value("--root");
        } else if (std::strcmp(arg, "--from") == 0) {
            options.from = value("--from");
        } else if (std::strcmp(arg, "--to") == 0) {
            options.to = value("--to");
        } else {
            usage_error((std::string("unknown option ") + arg).c_str());
        }
    }
    bool window = options.root || options.from || options.to;
    if (window && !(options.root && options.from && options.to))
        usage_error("--root, --from and --to go together");
    if (window && !options.files.empty()) usage_error("give either files or --root, not both");
    if (!window && options.files.empty()) usage_error("no archive files given");
    return options;
}

// The reader takes anything but a regular file as an empty one; a file named
// on the command line that is not one is worth a word.
void warn_about_special_files(const zentrail::PathList& paths) {
    for (const std::string& path : paths) {
        std::error_code error;
        auto status = std::filesystem::status(path, error);
        if (!error && status.type() != std::filesystem::file_type::regular)
            std::fprintf(stderr, "zentrail-dump: %s: not a regular file, read as empty\n", path.c_str());
    }
}

int run(const Options& options) {
    zentrail::PathList paths = options.files;
    warn_about_special_files(paths);
    const char* from = options.from ? options.from : "";
    const char* to = options.to ? options.to : "";
    if (options.root) {
        zentrail::Explorer(from, to).explore(options.root, &paths);
        zentrail::sort_archive_paths(&paths);
    }
    // Without --signal the reader gets no filter and passes every item.
    std::unique_ptr<zentrail::Filter> filter;
    if (!options.signals.empty()) {
        filter = std::make_unique<zentrail::Filter>(from, to);
        for (int code : options.signals) filter->addId(code);
    }
    zentrail::Writer writer;
    zentrail::Parser parser(filter.get());
    parser.exportFiles(&writer, &paths);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse_options(argc, argv);
    try {
        return run(options);
    } catch (const zentrail::FileOpenError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zentrail-dump: %s: %s (%s)\n", e.path.c_str(), e.what(), std::strerror(e.os_error));
    } catch (const zentrail::FileFormatError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zentrail-dump: %s: %s (record at byte %lld)\n", e.path.c_str(), e.what(),
                     static_cast<long long>(e.offset));
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "zentrail-dump: %s\n", e.what());
    }
    return 1;
}
