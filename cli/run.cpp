#include "run.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "key_table.h"
#include "messages.h"
#include "password.h"
#include "platform.h"
#include "progress.h"
#include "shown_name.h"
#include "transform.h"

namespace {

// Size of the blocks read, transformed and written: a multiple of the key
// table's period and of the page size. Measured from 128 KiB to 4 MiB, 1 MiB
// was fastest; it is also the run's only sizeable memory.
constexpr std::size_t block_size = 1024 * 1024;

// A failure's message. On a terminal, where a person reads it, the line is
// ended and says why, as the failed step's outcome has it (when the failure
// is a step's), and a name that could drive the terminal is quoted;
// elsewhere, where scripts read it, it is printed exactly as it always was.
void fail(std::string_view message, std::string_view subject = {}, const outcome& why = success)
{
    const std::string_view reason = why ? std::string_view() : describe(why);
    const bool terminal = console_is_terminal();
    print(message);
    write_shown_name(subject, terminal, print);
    if (terminal) {
        if (!reason.empty()) {
            print(" (");
            print(reason);
            print(")");
        }
        print("\n");
    }
}

// On standard error after the run: names that still hold the old bytes.
void warn_of_other_links(std::uint64_t links, std::string_view name)
{
    if (links == 0) {
        return;
    }
    char count[24];
    const int n =
        std::snprintf(count, sizeof count, "%llu", static_cast<unsigned long long>(links));
    print_error(warning_prefix);
    print_error(std::string_view(count, n > 0 ? static_cast<std::size_t>(n) : 0));
    print_error(links == 1 ? one_other_link : many_other_links);
    write_shown_name(name, error_is_terminal(), print_error);
    print_error(links == 1 ? still_holds : still_hold);
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

// How the copy ended: done, or which side failed and why.
struct copy_result {
    enum { done, read_failed, write_failed } end = done;
    outcome why;
};

// Overwrites an object's memory when it goes out of scope.
struct wiped_on_exit {
    void* data;
    std::size_t size;
    wiped_on_exit(void* object, std::size_t bytes) : data(object), size(bytes) {}
    wiped_on_exit(const wiped_on_exit&) = delete;
    wiped_on_exit& operator=(const wiped_on_exit&) = delete;
    ~wiped_on_exit() { scrub_memory(data, size); }
};

copy_result copy_transformed(source_file& source, destination& dest, const block_key& key,
                             progress& shown, std::uint64_t& position)
{
    alignas(4096) static std::uint8_t buffer[block_size];
    position = 0;
    for (;;) {
        std::size_t count = 0;
        if (const outcome read = read_source(source, buffer, sizeof buffer, count); !read) {
            return {copy_result::read_failed, read};
        }
        if (count == 0) {
            return {};
        }
        transform_block(key, position, buffer, count);
        if (const outcome written = write_destination(dest, buffer, count); !written) {
            return {copy_result::write_failed, written};
        }
        position += count;
        show_progress(shown, position);
    }
}

// An empty password argument takes it from a file or the environment a
// script names, or asks at the terminal (into found): none of them shows in
// the process list or the shell's history. False once the refusal is shown.
bool find_password_for(char*& password, char* found, cipher_mode mode)
{
    password_file file;
    if (const prompt_result result =
            find_password(password, found, mode == cipher_mode::encode, file);
        result != prompt_result::entered) {
        const bool unreadable = result == prompt_result::unreadable_file;
        fail(prompt_error(result), unreadable ? file.name : "", unreadable ? file.why : success);
        return false;
    }
    return true;
}

// The command lines that end before any file is touched: --version, --help,
// and too few arguments.
int short_command_line(request asked)
{
    if (asked == request::version) {
        print_lines(version_line);
        return 0;
    }
    print_lines(usage_banner);
    if (asked == request::help) {
        print_lines(help_text);
        return 0;
    }
    return 1;
}

}  // namespace

int run(const command_line& line)
{
    if (line.asked != request::run) {
        return short_command_line(line.asked);
    }
    const char* source_path = line.source;
    const char* destination_path = line.destination;
    char* password = line.password;
    const std::string_view mode_word = line.mode;
    // Output sent to standard output must not have the console text mixed
    // into it.
    if (is_standard_output(destination_path)) {
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

    char found[password_capacity];
    if (!find_password_for(password, found, mode)) {
        return 1;
    }
    // The key table is all the run needs of the password; the key, which
    // decodes as well as the password, is wiped when the run ends, whichever
    // way it does.
    key_table table = build_key_table(password);
    block_key key = make_block_key(mode, table);
    const wiped_on_exit key_wiped{&key, sizeof key};
    scrub_memory(&table, sizeof table);
    scrub_password(password);

    const std::string_view announcement =
        mode == cipher_mode::encode ? encode_announcement : decode_announcement;
    print(announcement);
    source_file source;
    if (const outcome opened = open_source(source_path, source); !opened) {
        fail(source_open_error, source_path, opened);
        return 1;
    }
    destination dest;
    if (const outcome opened = open_destination(destination_path, source, dest); !opened) {
        fail(destination_open_error, destination_path, opened);
        return 1;
    }
    prepare_copy(source, dest);
    // The progress line is drawn only on a terminal line the run owns: not
    // while the output streams to a terminal, or to a pipe whose reader (cat,
    // a pager) may show it on the same terminal.
    progress shown;
    if (output_is_stored(dest)) {
        start_progress(shown, source_size(source), announcement);
    }
    std::uint64_t written = 0;
    const copy_result copied = copy_transformed(source, dest, key, shown, written);
    switch (copied.end) {
    case copy_result::read_failed:
        end_progress(shown);
        fail(source_read_error, source_path, copied.why);
        return 1;
    case copy_result::write_failed:
        end_progress(shown);
        fail(destination_write_error, destination_path, copied.why);
        return 1;
    case copy_result::done:
        break;
    }
    close_source(source);
    show_flushing(shown, written);
    const outcome committed = commit_destination(dest);
    end_progress(shown);
    if (!committed) {
        fail(destination_write_error, destination_path, committed);
        return 1;
    }
    print("\n");
    warn_of_other_links(other_links(dest), destination_path);
    return 0;
}
