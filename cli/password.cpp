#include "password.h"

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

}  // namespace

prompt_result read_password(char* buffer, bool confirm)
{
    buffer[0] = '\0';
    terminal term;
    if (!open_quiet_terminal(term)) {
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
