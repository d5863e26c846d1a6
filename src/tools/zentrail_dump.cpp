// zentrail-dump: prints archive files as comma-separated text lines.
//
// SIGINT and SIGPIPE keep the actions the tool was started with: by default
// either ends it at once, wherever it is. Run with SIGPIPE ignored, a write
// into a closed pipe fails with EPIPE, and a failed write stops the tool.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "archive/parser.h"
#include "archive/read_errors.h"
#include "output/text_writer.h"
#include "selection/explorer.h"
#include "selection/filter.h"
#include "time/bound.h"

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
    "                    name, as in 2024-03-01_plant.vlx) lies between the days\n"
    "                    of --from TEXT and --to TEXT; they are read in byte\n"
    "                    order of their paths. TEXT is YYYY-MM-DD, optionally\n"
    "                    followed by T or a space and hh:mm[:ss[.fffffffff]]:\n"
    "                    --from 2024-03-02 --to 2024-03-02 dumps that day\n"
    "  --signal CODE     print only the records of the signal of CODE\n"
    "                    (id * 1024 + index; the index is ignored here); may be\n"
    "                    repeated. Without it, every record is printed\n"
    "  -h, --help        show this help\n"
    "\n"
    "A path that is not a regular file (a directory, a pipe) reads as empty.\n"
    "On a malformed record the error item's line is printed, then the message;\n"
    "a failed write to the output stops at once. The exit status is 1 on any\n"
    "failure and 2 on a usage error.\n";

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
    for (const char* bound : {options.from, options.to}) {
        if (bound != nullptr && !zentrail::parse_bound(bound)) {
            usage_error((std::string(bound == options.from ? "--from" : "--to") + " \"" + bound +
                         "\" is not a date and time (YYYY-MM-DD, optionally T or a space and hh:mm[:ss[.fffffffff]])")
                            .c_str());
        }
    }
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

// Writing standard output failed; `os_error` is the errno of the failed write.
struct OutputError {
    int os_error;
};

// Standard output through a stream whose every write(2) is checked: the
// first failure is kept with its errno (a stream's error flag alone loses
// it), and an interrupted write is retried.
class CheckedOutput {
public:
    CheckedOutput() {
        cookie_io_functions_t functions{};
        functions.write = &CheckedOutput::write_all;
        stream = ::fopencookie(this, "w", functions);
        if (stream == nullptr) throw std::bad_alloc();
        // Lines show as they come on a terminal; elsewhere in large writes.
        std::setvbuf(stream, nullptr, ::isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, 1 << 16);
    }
    ~CheckedOutput() {
        // Whatever is left after a failure is dropped, not written.
        if (!failed()) std::fflush(stream);
        std::fclose(stream);
    }
    CheckedOutput(const CheckedOutput&) = delete;
    CheckedOutput& operator=(const CheckedOutput&) = delete;

    std::FILE* get() const { return stream; }
    bool failed() const { return os_error != 0; }
    // Throws OutputError when a write has failed.
    void check() const {
        if (failed()) throw OutputError{os_error};
    }
    void flush() {
        if (std::fflush(stream) != 0 && !failed()) os_error = EIO;
        check();
    }

private:
    static ssize_t write_all(void* cookie, const char* data, size_t size) {
        auto* self = static_cast<CheckedOutput*>(cookie);
        if (self->failed()) return -1;
        size_t done = 0;
        while (done < size) {
            ssize_t n = ::write(STDOUT_FILENO, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                self->os_error = n < 0 ? errno : EIO;
                return -1;
            }
            done += static_cast<size_t>(n);
        }
        return static_cast<ssize_t>(size);
    }

    std::FILE* stream = nullptr;
    int os_error = 0;
};

// The text writer, stopping at the first record whose line could not be
// written.
class CheckedWriter : public zentrail::TextWriter {
public:
    explicit CheckedWriter(CheckedOutput* output) : zentrail::TextWriter(output->get()), output(output) {}
    void export_value(zentrail::ACI_WITH_DATE* item) override {
        zentrail::TextWriter::export_value(item);
        output->check();
    }

private:
    CheckedOutput* output;
};

int run(const Options& options, CheckedOutput* output) {
    zentrail::PathList paths = options.files;
    warn_about_special_files(paths);
    if (options.root) {
        const zentrail::BoundSpec from = *zentrail::parse_bound(options.from);
        const zentrail::BoundSpec to = *zentrail::parse_bound(options.to);
        paths = zentrail::find_archive_files(options.root, zentrail::discovery_text(from, false).c_str(),
                                             zentrail::discovery_text(to, true).c_str());
    }
    // Without --signal the reader gets no filter and passes every item. The
    // filter selects by id alone (the dump prints whole files, at any time)
    // and stores every code given: read's cap of 256 is not the dump's.
    std::unique_ptr<zentrail::Filter> filter;
    if (!options.signals.empty()) {
        filter = std::make_unique<zentrail::Filter>(zentrail::InstantWindow{}, -1);
        for (int code : options.signals) filter->addId(code);
    }
    CheckedWriter writer(output);
    zentrail::Parser parser(filter.get());
    parser.exportFiles(&writer, &paths);
    output->flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parse_options(argc, argv);
    try {
        CheckedOutput output;
        // The lines decoded before a failure go out before its message.
        auto report = [&output](const char* format, auto... values) {
            if (!output.failed()) std::fflush(output.get());
            std::fprintf(stderr, format, values...);
        };
        try {
            return run(options, &output);
        } catch (const OutputError& e) {
            report("zentrail-dump: cannot write the output: %s\n", std::strerror(e.os_error));
        } catch (const zentrail::FileOpenError& e) {
            report("zentrail-dump: %s: %s (%s)\n", e.path.c_str(), e.what(), std::strerror(e.os_error));
        } catch (const zentrail::FileReadError& e) {
            report("zentrail-dump: %s: cannot read at byte %lld (%s)\n", e.path.c_str(),
                   static_cast<long long>(e.offset), std::strerror(e.os_error));
        } catch (const zentrail::FileFormatError& e) {
            report("zentrail-dump: %s: %s (record at byte %lld)\n", e.path.c_str(), e.what(),
                   static_cast<long long>(e.offset));
        } catch (const std::filesystem::filesystem_error& e) {
            report("zentrail-dump: %s: cannot walk the directory (%s)\n", e.path1().c_str(),
                   e.code().message().c_str());
        }
    } catch (const std::bad_alloc&) {
        std::fputs("zentrail-dump: out of memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zentrail-dump: %s\n", e.what());
    }
    return 1;
}
