#include "run.h"

#include <cstdint>
#include <string_view>

#include "build_info.h"
#include "key_table.h"
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

copy_result copy_transformed(source_file& source, destination& target, const block_key& key,
                             std::uint64_t& position)
{
    alignas(4096) static std::uint8_t buffer[block_size];
    position = 0;
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

}  // namespace

int run(int argc, char** argv)
{
    if (argc < 5) {
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
        fail("Error:The mode must be encode or decode:", mode_word);
        return 1;
    }
    // From here on an interruption cleans up after the run: at the prompt
    // it gives the terminal its echo back.
    install_interrupt_cleanup();

    // An empty password argument asks for the password at the terminal,
    // where it is out of the process list and the shell's history.
    char typed[password_capacity];
    if (*password == '\0') {
        switch (read_password(typed, mode == cipher_mode::encode)) {
        case prompt_result::entered:
            password = typed;
            break;
        case prompt_result::mismatch:
            fail("Error:The passwords do not match");
            return 1;
        case prompt_result::too_long:
            fail("Error:The password is too long");
            return 1;
        case prompt_result::contains_nul:
            fail("Error:The password must not contain a NUL byte");
            return 1;
        case prompt_result::unrepresentable:
            fail("Error:The password cannot be represented in the system code page");
            return 1;
        case prompt_result::no_terminal:
        case prompt_result::empty:
            fail("Error:The password must not be empty");
            return 1;
        }
    }

    const block_key key = make_block_key(mode, build_key_table(password));
    // The key table is all the run needs of the password.
    scrub_password(password);

    print(mode == cipher_mode::encode ? "encoding..." : "decoding...");

    source_file source;
    if (!open_source(source_path, source)) {
        fail("Error:Cannot open the source file:", source_path);
        return 1;
    }
    destination target;
    if (!open_destination(target_path, source, target)) {
        discard_destination(target);
        fail("Error:Cannot open the destiny file:", target_path);
        return 1;
    }

    // A source that fits one block is read in one go: read-ahead advice and
    // a reservation would only cost system calls.
    if (const std::int64_t size = source_size(source);
        size > static_cast<std::int64_t>(block_size)) {
        prepare_copy(source, target, size);
    }
    std::uint64_t written = 0;
    switch (copy_transformed(source, target, key, written)) {
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
    close_source(source);
    if (!commit_destination(target, written)) {
        fail("Error:Cannot write the destiny file:", target_path);
        return 1;
    }
    print("\n");
    return 0;
}
