#include "password.h"

#include <cstdint>
#include <cstring>

#include "platform.h"

namespace {

// Reads one line into line (password_capacity units) without its newline.
prompt_result read_line(terminal& term, terminal_unit* line)
{
    std::size_t length = 0;
    bool too_long = false;
    bool nul = false;
    terminal_unit unit{};
    while (read_unit(term, unit) && unit != '\n') {
        nul = nul || unit == 0;
        // A line as long as the terminal's whole line buffer may have been
        // cut by it.
        if (length + 2 < password_capacity) {
            line[length++] = unit;
        } else {
            too_long = true;
        }
    }
    line[length] = 0;
    if (too_long) {
        return prompt_result::too_long;
    }
    if (nul) {
        return prompt_result::contains_nul;
    }
    return length == 0 ? prompt_result::empty : prompt_result::entered;
}

// Asks once, and gives what was typed as password bytes.
prompt_result ask_once(terminal& term, const char* prompt, char* password)
{
    show_prompt(term, prompt);
    terminal_unit line[password_capacity];
    prompt_result result = read_line(term, line);
    end_hidden_line(term);
    if (result == prompt_result::entered && !password_bytes(line, password, password_capacity)) {
        result = prompt_result::unrepresentable;
    }
    scrub_memory(line, sizeof line);
    return result;
}

// The first line of the file at path, without its line end, into buffer. A
// terminal named as the file is asked as the prompt asks it: with its echo
// off, and twice when confirm is set.
prompt_result first_line_of(const char* path, char* buffer, bool confirm, outcome& why)
{
    source_file file;
    if (why = open_source(path, file); !why) {
        return prompt_result::unreadable_file;
    }
    if (source_is_terminal(file)) {
        const prompt_result result = read_password(buffer, confirm, &file);
        close_source(file);
        return result;
    }
    // A file of its own is read in blocks. Anything else (a pipe, a device,
    // the caller's stream on a file) is read a byte at a time and no further
    // than the line's end, as the shell's read does, so that what follows it
    // stays for the run: the source may be the same stream.
    const std::size_t block = source_may_read_ahead(file) ? password_capacity : 1;
    // The whole buffer may fill: the longest password's line end, \r\n,
    // takes both of the bytes past it.
    std::size_t length = 0;
    bool ended = false;
    bool newline_found = false;
    while (!ended && length < password_capacity) {
        const std::size_t want =
            block < password_capacity - length ? block : password_capacity - length;
        std::size_t n = 0;
        if (why = read_source(file, buffer + length, want, n); !why) {
            close_source(file);
            scrub_memory(buffer, password_capacity);
            return prompt_result::unreadable_file;
        }
        ended = n == 0;
        length += n;
        if (const void* newline = std::memchr(buffer, '\n', length)) {
            length = static_cast<std::size_t>(static_cast<const char*>(newline) - buffer);
            ended = true;
            newline_found = true;
        }
    }
    close_source(file);
    if (newline_found && length > 0 && buffer[length - 1] == '\r') {
        --length;
    }
    scrub_memory(buffer + length, password_capacity - length);
    if (!ended || length + 2 > password_capacity) {
        scrub_memory(buffer, password_capacity);
        return prompt_result::too_long;
    }
    if (std::memchr(buffer, '\0', length) != nullptr) {
        scrub_memory(buffer, password_capacity);
        return prompt_result::contains_nul;
    }
    return length == 0 ? prompt_result::empty : prompt_result::entered;
}

// Wipes ZODEVIR_PASSWORD from the environment when the password came from
// elsewhere: it is a password all the same.
void wipe_unused_variable()
{
    char* value = nullptr;
    if (environment_value(password_variable, true, value) != variable::unset && value != nullptr) {
        scrub_memory(value, std::strlen(value));
    }
}

}  // namespace

prompt_result find_password(char*& password, char* buffer, bool confirm, password_file& file)
{
    if (*password != '\0') {
        wipe_unused_variable();
        return prompt_result::entered;
    }
    prompt_result result = prompt_result::entered;
    char* path = nullptr;
    char* value = nullptr;
    if (const variable named = environment_value(password_file_variable, false, path);
        named != variable::unset) {
        // A name with no form the run can open a file by is refused, by
        // the variable's name, rather than opened as another name.
        if (named == variable::unrepresentable) {
            path = nullptr;
        }
        file.name = path != nullptr ? path : password_file_variable;
        result = path != nullptr ? first_line_of(path, buffer, confirm, file.why)
                                 : prompt_result::unreadable_file;
        wipe_unused_variable();
    } else if (const variable found = environment_value(password_variable, true, value);
               found != variable::unset) {
        if (found == variable::unrepresentable) {
            return prompt_result::unrepresentable;
        }
        // Used where it is, so that overwriting it wipes it from the
        // environment too.
        if (*value == '\0') {
            return prompt_result::empty;
        }
        password = value;
        return prompt_result::entered;
    } else {
        result = read_password(buffer, confirm);
    }
    if (result == prompt_result::entered) {
        password = buffer;
    }
    return result;
}

prompt_result read_password(char* buffer, bool confirm, const source_file* named)
{
    buffer[0] = '\0';
    terminal term;
    if (!open_quiet_terminal(term, named)) {
        return prompt_result::no_terminal;
    }
    prompt_result result = ask_once(term, "Password: ", buffer);
    if (result == prompt_result::entered && confirm) {
        char again[password_capacity];
        result = ask_once(term, "Password again: ", again);
        // An empty second line is a second line that differs.
        if (result == prompt_result::empty ||
            (result == prompt_result::entered && std::strcmp(buffer, again) != 0)) {
            result = prompt_result::mismatch;
        }
        scrub_memory(again, sizeof again);
    }
    close_terminal(term);
    if (result != prompt_result::entered) {
        scrub_memory(buffer, password_capacity);
    }
    return result;
}
