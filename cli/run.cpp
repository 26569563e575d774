#include "run.h"

#include <cstdint>
#include <string_view>

#include "build_info.h"
#include "key_table.h"
#include "messages.h"
#include "password.h"
#include "platform.h"
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

enum class copy_result { done, read_failed, write_failed };

copy_result copy_transformed(source_file& source, destination& target, const block_key& key)
{
    alignas(4096) static std::uint8_t buffer[block_size];
    std::uint64_t position = 0;
    for (;;) {
        const std::int64_t n = read_source(source, buffer, sizeof buffer);
        if (n < 0) {
            return copy_result::read_failed;
        }
        if (n == 0) {
            return copy_result::done;
        }
        const auto count = static_cast<std::size_t>(n);
        transform_block(key, position, buffer, count);
        if (!write_destination(target, buffer, count)) {
            return copy_result::write_failed;
        }
        position += count;
    }
}

// The command lines that end before any file is touched: --version, --help,
// and too few arguments.
int short_command_line(int argc, char** argv)
{
    const std::string_view first = argc > 1 ? argv[1] : "";
    if (first == "--version") {
        print_lines("zodevir " ZODEVIR_VERSION "\n");
        return 0;
    }
    print_lines(usage_banner);
    if (first == "--help") {
        print_lines("The whole manual: man zodevir\n");
        return 0;
    }
    return 1;
}

}  // namespace

int run(int argc, char** argv)
{
    if (argc < 5) {
        return short_command_line(argc, argv);
    }
    const char* source_path = argv[1];
    const char* target_path = argv[2];
    char* password = argv[3];
    const std::string_view mode_word = argv[4];
    // Output sent to standard output must not have the console text mixed
    // into it.
    if (is_standard_output(target_path)) {
        use_error_console();
    }

    // The mode is checked first, so that a mistyped one is reported before
    // the password is asked for.
    cipher_mode mode{};
    if (!parse_mode(mode_word, mode)) {
        fail(mode_error, mode_word);
        return 1;
    }
    // From here on an interruption cleans up after the run: at the prompt
    // it gives the terminal its echo back.
    install_interrupt_cleanup();

    // An empty password argument asks for the password at the terminal,
    // where it is out of the process list and the shell's history.
    char typed[password_capacity];
    if (*password == '\0') {
        const prompt_result result = read_password(typed, mode == cipher_mode::encode);
        if (result != prompt_result::entered) {
            fail(prompt_error(result));
            return 1;
        }
        password = typed;
    }
    const block_key key = make_block_key(mode, build_key_table(password));
    // The key table is all the run needs of the password.
    scrub_password(password);

    print(mode == cipher_mode::encode ? "encoding..." : "decoding...");
    source_file source;
    if (!open_source(source_path, source)) {
        fail(source_open_error, source_path);
        return 1;
    }
    destination target;
    if (!open_destination(target_path, source, target)) {
        fail(target_open_error, target_path);
        return 1;
    }
    prepare_copy(source, target);
    switch (copy_transformed(source, target, key)) {
    case copy_result::read_failed:
        fail(source_read_error, source_path);
        return 1;
    case copy_result::write_failed:
        fail(target_write_error, target_path);
        return 1;
    case copy_result::done:
        break;
    }
    close_source(source);
    if (!commit_destination(target)) {
        fail(target_write_error, target_path);
        return 1;
    }
    print("\n");
    return 0;
}
