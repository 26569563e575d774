// The password typed at the terminal, driven through a pseudo-terminal, and
// the command lines that end before any file is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "build_info.h"
#include "known_answers.h"
#include "support.h"

namespace {

using strings = std::vector<std::string>;

// A run whose controlling terminal is a pseudo-terminal held by the test;
// its standard output still goes to a pipe.
struct terminal_run {
    pid_t pid = -1;
    int terminal = -1;  // the test's end of the terminal
    running output;     // standard output, for finish()
};

terminal_run start_on_terminal(std::vector<std::string> args)
{
    int out[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    args.insert(args.begin(), ZODEVIR_BINARY);
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    terminal_run run;
    run.pid = forkpty(&run.terminal, nullptr, nullptr, nullptr);
    if (run.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    run.output = running{run.pid, out[0], open("/dev/null", O_RDONLY | O_CLOEXEC)};
    return run;
}

// Reads what the run shows on the terminal until it ends with text.
std::string wait_for_text(int terminal, const std::string& text)
{
    std::string seen;
    pollfd p{terminal, POLLIN, 0};
    while (seen.size() < text.size() ||
           seen.compare(seen.size() - text.size(), text.size(), text) != 0) {
        if (poll(&p, 1, 10000) <= 0) {
            ADD_FAILURE() << "no \"" << text << "\" on the terminal; saw \"" << seen << '"';
            break;
        }
        char c[256];
        const ssize_t n = read(terminal, c, sizeof c);
        if (n <= 0) {
            break;
        }
        seen.append(c, static_cast<std::size_t>(n));
    }
    return seen;
}

bool echo_is_on(int terminal)
{
    termios settings{};
    EXPECT_EQ(tcgetattr(terminal, &settings), 0);
    return (settings.c_lflag & ECHO) != 0;
}

TEST(Prompt, TypedPasswordWorksLikeTheArgument)
{
    const struct {
        std::string mode;
        std::string source;  // its content
        strings typed;
        std::string out;
        int status;
        std::string result;  // the destination's content; empty when none is made
    } cases[] = {
        {"encode", plain, {"tarns", "tarns"}, "encoding...\n", 0, plain_encoded},
        {"decode", plain_encoded, {"tarns"}, "decoding...\n", 0, plain},
        {"encode", plain, {"tarns", "tarnz"}, "Error:The passwords do not match", 1, ""},
        {"encode", plain, {"tarns", ""}, "Error:The passwords do not match", 1, ""},
        {"decode", plain, {""}, "Error:The password must not be empty", 1, ""},
    };
    for (const auto& c : cases) {
        const scratch_folder dir;
        write_file(dir / "in", c.source);
        terminal_run run = start_on_terminal({dir / "in", dir / "out", "", c.mode});
        std::string screen;
        for (const auto& line : c.typed) {
            screen += wait_for_text(run.terminal, ": ");
            EXPECT_FALSE(echo_is_on(run.terminal));
            const std::string keys = line + "\n";
            ASSERT_EQ(write(run.terminal, keys.data(), keys.size()),
                      static_cast<ssize_t>(keys.size()));
        }
        const run_result r = finish(run.output);
        screen += wait_for_text(run.terminal, "\n");
        close(run.terminal);
        EXPECT_EQ(r.exit_code, c.status) << c.out;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(screen.find("tarn"), std::string::npos) << "the password was echoed: " << screen;
        if (c.result.empty()) {
            EXPECT_EQ(folder_entries(dir.path), strings{"in"});
        } else {
            EXPECT_EQ(read_file(dir / "out"), c.result);
        }
    }
}

TEST(Prompt, SignalDuringThePromptGivesTheTerminalItsEchoBack)
{
    const scratch_folder dir;
    write_file(dir / "in", plain);
    terminal_run run = start_on_terminal({dir / "in", dir / "out", "", "encode"});
    wait_for_text(run.terminal, "Password: ");
    EXPECT_FALSE(echo_is_on(run.terminal));
    kill(run.pid, SIGINT);
    const run_result r = finish(run.output);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_TRUE(echo_is_on(run.terminal));
    close(run.terminal);
    EXPECT_EQ(folder_entries(dir.path), strings{"in"});
}

TEST(Flags, HelpAndVersionSucceedAndOtherShortCommandLinesShowTheBanner)
{
    const std::string banner_end = "Example: zodevir.exe file1.txt newfile.txt tarns encode\n";
    const struct {
        strings args;
        int status;
        std::string tail;  // how the output ends
    } cases[] = {
        {{"--help"}, 0, banner_end + "The whole manual: man zodevir\n"},
        {{"--version"}, 0, "zodevir " ZODEVIR_VERSION "\n"},
        {{"--version", "b", "c"}, 0, "zodevir " ZODEVIR_VERSION "\n"},
        {{"-h"}, 1, banner_end},
        {{"--HELP"}, 1, banner_end},
        {{"--help", "b", "pw", "encode"}, 1, "encoding...Error:Cannot open the source file:--help"},
        {{"a", "--help", "c"}, 1, banner_end},
    };
    for (const auto& c : cases) {
        const run_result r = run_zodevir(c.args);
        EXPECT_EQ(r.exit_code, c.status) << c.args[0];
        ASSERT_GE(r.out.size(), c.tail.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - c.tail.size()), c.tail) << c.args[0];
    }
    EXPECT_EQ(run_zodevir({"--version"}).out, "zodevir " ZODEVIR_VERSION "\n");
}

}  // namespace
