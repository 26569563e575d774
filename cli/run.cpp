#include "run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "build_info.h"
#include "destination.h"
#include "file_io.h"
#include "key_table.h"
#include "prompt.h"
#include "transform.h"

namespace {

constexpr std::string_view usage_banner =
    "\n"
    "zodevir " ZODEVIR_VERSION " by " ZODEVIR_MAINTAINER ", released " ZODEVIR_RELEASE_MONTH
    "\n"
    "Web: " ZODEVIR_HOMEPAGE "  E-mail: " ZODEVIR_CONTACT_EMAIL
    "\n"
    "Parameters: Original_file, destiny_file, password, encode|decode. \n"
    "Example: zodevir.exe file1.txt newfile.txt tarns encode\n";

// Size of the blocks read, transformed and written: a multiple of the key
// table's period and of the page size. Measured from 128 KiB to 4 MiB, 1 MiB
// was fastest; it is also the run's only sizeable memory.
constexpr std::size_t block_size = 1024 * 1024;

void fail(std::string_view message, std::string_view subject = {})
{
    print(message);
    print(subject);
}

bool parse_mode(std::string_view word, cipher_mode& mode)
{
    if (word == "encode") {
        mode = cipher_mode::encode;
        return true;
    }
    if (word == "decode") {
        mode = cipher_mode::decode;
        return true;
    }
    return false;
}

bool open_source(const char* path, unique_fd& fd, struct stat& st)
{
    fd = unique_fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    // A directory opens, but there is nothing in it to read.
    return fd.valid() && ::fstat(fd.get(), &st) == 0 && !S_ISDIR(st.st_mode);
}

enum class copy_result { done, read_failed, write_failed };

copy_result copy_transformed(int source, int target, const block_key& key, std::uint64_t& position)
{
    alignas(4096) static std::uint8_t buffer[block_size];
    position = 0;
    for (;;) {
        const ssize_t n = read_some(source, buffer, sizeof buffer);
        if (n < 0) {
            return copy_result::read_failed;
        }
        if (n == 0) {
            return copy_result::done;
        }
        const auto count = static_cast<std::size_t>(n);
        transform_block(key, position, buffer, count);
        if (!write_all(target, buffer, count)) {
            return copy_result::write_failed;
        }
        position += count;
    }
}

}  // namespace

int run(int argc, char** argv)
{
    if (argc < 5) {
        const std::string_view first = argc > 1 ? argv[1] : "";
        if (first == "--version") {
            print("zodevir " ZODEVIR_VERSION "\n");
            return 0;
        }
        print(usage_banner);
        if (first == "--help") {
            print("The whole manual: man zodevir\n");
            return 0;
        }
        return 1;
    }
    const char* source_path = argv[1];
    const char* target_path = argv[2];
    char* password = argv[3];
    const std::string_view mode_word = argv[4];
    // Output sent to standard output must not have the console text mixed
    // into it.
    if (is_standard_output(target_path)) {
        use_console(STDERR_FILENO);
    }

    cipher_mode mode{};
    const bool known_mode = parse_mode(mode_word, mode);
    // An empty password argument asks for the password at the terminal,
    // where it is out of the process list and the shell's history.
    char typed[password_capacity];
    if (*password == '\0') {
        const prompt_result answer = known_mode ? read_password(typed, mode == cipher_mode::encode)
                                                : prompt_result::no_terminal;
        switch (answer) {
        case prompt_result::entered:
            password = typed;
            break;
        case prompt_result::mismatch:
            fail("Error:The passwords do not match");
            return 1;
        case prompt_result::too_long:
            fail("Error:The password is too long");
            return 1;
        case prompt_result::no_terminal:
        case prompt_result::empty:
            fail("Error:The password must not be empty");
            return 1;
        }
    }
    if (!known_mode) {
        fail("Error:The mode must be encode or decode:", mode_word);
        return 1;
    }

    const block_key key = make_block_key(mode, build_key_table(password));
    // The key table is all the run needs of the password: overwrite it where
    // the kernel shows the command line from (ps, /proc/PID/cmdline), or in
    // the buffer it was typed into.
    scrub(password);

    // A write to a closed pipe is reported like any failed write instead of
    // ending the run silently; exceeding a file size limit likewise.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    install_signal_cleanup();

    print(mode == cipher_mode::encode ? "encoding..." : "decoding...");

    unique_fd source;
    struct stat source_stat {};
    if (!open_source(source_path, source, source_stat)) {
        fail("Error:Cannot open the source file:", source_path);
        return 1;
    }
    destination target;
    if (!open_destination(target_path, source_stat, target)) {
        discard_destination(target);
        fail("Error:Cannot open the destiny file:", target_path);
        return 1;
    }

    // A source that fits one block is read in one go: read-ahead advice and
    // a reservation would only cost system calls.
    if (S_ISREG(source_stat.st_mode) && source_stat.st_size > static_cast<off_t>(block_size)) {
        (void)::posix_fadvise(source.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        reserve_destination(target, source_stat.st_size);
    }
    std::uint64_t written = 0;
    switch (copy_transformed(source.get(), target.fd.get(), key, written)) {
    case copy_result::read_failed:
        discard_destination(target);
        fail("Error:Cannot read the source file:", source_path);
        return 1;
    case copy_result::write_failed:
        discard_destination(target);
        fail("Error:Cannot write the destiny file:", target_path);
        return 1;
    case copy_result::done:
        break;
    }
    (void)close_fd(source);
    if (!commit_destination(target, static_cast<off_t>(written))) {
        fail("Error:Cannot write the destiny file:", target_path);
        return 1;
    }
    print("\n");
    return 0;
}
