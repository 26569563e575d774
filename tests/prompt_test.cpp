// The password typed at the terminal, driven through a pseudo-terminal, and
// the command lines that end before any file is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "build_info.h"
#include "support.h"

namespace {

// The fault shim, which also looks through a run's memory as it ends, is
// preloaded through the dynamic loader, which a static binary lacks.
#ifdef ZODEVIR_STATIC_BINARY
constexpr bool shim_loads = false;
#else
constexpr bool shim_loads = true;
#endif

// Runs started from now on preload the shim with these of its variables;
// with none, they no longer do. The shim comes before a sanitizer's library,
// which is harmless, as it only forwards.
void preload_shim(const strings& variables)
{
    static const std::string asan =
        std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
    for (const char* name : {"LD_PRELOAD", "ZODEVIR_FAULT", "ZODEVIR_FAULT_ERRNO", "ZODEVIR_SCAN",
                             "ZODEVIR_SCAN_REPORT"}) {
        unsetenv(name);
    }
    setenv("ASAN_OPTIONS", (asan + ":verify_asan_link_order=0").c_str(), 1);
    if (!variables.empty()) {
        setenv("LD_PRELOAD", ZODEVIR_FAULT_SHIM, 1);
    }
    for (const std::string& variable : variables) {
        const std::size_t equals = variable.find('=');
        setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
    }
}

// A run whose controlling terminal is a pseudo-terminal held by the test;
// its standard output still goes to a pipe.
struct terminal_run {
    pid_t pid = -1;
    int terminal = -1;  // the test's end of the terminal
    running output;     // standard output, for finish()
};

enum class job {
    leader,      // the session leader, as a run started by a terminal program
    foreground,  // a job of an interactive shell that has the terminal
    background,  // started in the background, then brought to the foreground (fg)
};

// A job runs in a process group of its own, so that Ctrl-Z stops it (a
// session leader's group is orphaned, and the kernel does not stop those);
// the test's process stands in for its shell. With output_on_terminal the
// run's standard output and error go to the terminal too.
// Text in typed_ahead is typed before the run starts; with error_fd its
// standard error goes there instead.
terminal_run start_on_terminal(std::vector<std::string> args, job as = job::leader,
                               int ignored_signal = 0, bool output_on_terminal = false,
                               const std::string& typed_ahead = "", int error_fd = -1)
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
    int slave = -1;
    EXPECT_EQ(openpty(&run.terminal, &slave, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(write(run.terminal, typed_ahead.data(), typed_ahead.size()),
              static_cast<ssize_t>(typed_ahead.size()));
    run.pid = fork();
    if (run.pid == 0) {
        close(run.terminal);
        login_tty(slave);
        if (!output_on_terminal) {
            dup2(out[1], STDOUT_FILENO);
        }
        if (error_fd >= 0) {
            dup2(error_fd, STDERR_FILENO);
        }
        if (as != job::leader) {
            signal(SIGTTOU, SIG_IGN);
            if (const pid_t child = fork(); child != 0) {
                setpgid(child, child);
                int status = 0;
                if (as == job::background) {
                    // fg: once the job stops on the terminal, give it the
                    // terminal and let it go on.
                    waitpid(child, &status, WUNTRACED);
                    tcsetpgrp(STDIN_FILENO, child);
                    kill(-child, SIGCONT);
                } else {
                    tcsetpgrp(STDIN_FILENO, child);
                }
                status = wait_for(child);  // the shell ends as its job did
                _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128);
            }
            setpgid(0, 0);
            if (as == job::foreground) {
                tcsetpgrp(STDIN_FILENO, getpid());
            }
            signal(SIGTTOU, SIG_DFL);
        }
        if (ignored_signal != 0) {
            signal(ignored_signal, SIG_IGN);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
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

// Ends a run still waiting at the terminal 10 s on, so that a row that typed
// fewer lines than the run asks for fails instead of hanging.
void end_if_stuck(pid_t pid)
{
    for (int i = 0; i < 10000; ++i) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return;
        }
        usleep(1000);
    }
    ADD_FAILURE() << "the run still waits at the terminal";
    kill(pid, SIGKILL);
}

// What the terminal still shows once the run has ended.
std::string rest_of_screen(int terminal)
{
    std::string seen;
    char c[4096];
    pollfd p{terminal, POLLIN, 0};
    // Once the run is gone, reading its terminal ends with an error.
    for (ssize_t n; poll(&p, 1, 10000) > 0 && (n = read(terminal, c, sizeof c)) > 0;) {
        seen.append(c, static_cast<std::size_t>(n));
    }
    return seen;
}

// The prompt's rows need a pseudo-terminal, which a chroot without /dev/pts
// cannot give.
class Prompt : public ::testing::Test {
protected:
    void SetUp() override
    {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        const char* name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                               ? ptsname(master)
                               : nullptr;
        const int slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY) : -1;
        if (slave < 0) {
            GTEST_SKIP() << "no pseudo-terminal can be opened here (is /dev/pts mounted?)";
        }
        close(slave);
        close(master);
    }
};

TEST_F(Prompt, TypedPasswordWorksLikeTheArgument)
{
    // A line that fills the terminal's buffer may have been cut by it.
    const std::string longest(4094, 'a');
    const std::string cut(4095, 'a');
    // "plain text\n" encoded with a password of only 'a' bytes, whatever its
    // length: every slot is |(2i + 6) x 97| mod 255.
    const std::string plain_encoded_a = "\xb8\x67\x94\xf9\x3d\x0a\x4c\xfe\x1a\x95\xe9";
    const struct {
        std::string name;
        std::string mode;
        std::string source;  // its content
        strings typed;       // keys, one entry a prompt
        std::string out;
        int status;
        std::string result;      // the destination's content; empty when none is made
        std::string ahead = {};  // typed (and echoed) before the prompt: not the password
    } cases[] = {
        {"encoded, asked twice",
         "encode",
         plain,
         {"tarns\n", "tarns\n"},
         "encoding...\n",
         0,
         plain_encoded},
        {"decoded, asked once", "decode", plain_encoded, {"tarns\n"}, "decoding...\n", 0, plain},
        {"second differs",
         "encode",
         plain,
         {"tarns\n", "tarnz\n"},
         "Error:The passwords do not match",
         1,
         ""},
        {"first longer",
         "encode",
         plain,
         {"tarnss\n", "tarns\n"},
         "Error:The passwords do not match",
         1,
         ""},
        {"second empty",
         "encode",
         plain,
         {"tarns\n", "\n"},
         "Error:The passwords do not match",
         1,
         ""},
        {"empty", "decode", plain, {"\n"}, "Error:The password must not be empty", 1, ""},
        {"Ctrl-D",
         "decode",
         plain,
         {"\x04"},
         "Error:The password must not be empty",
         1,
         ""},  // Ctrl-D
        {"NUL byte typed",
         "encode",
         plain,
         {std::string("xyz\0A\n", 6)},
         "Error:The password must not contain a NUL byte",
         1,
         ""},
        {"longest password",
         "encode",
         plain,
         {longest + "\n", longest + "\n"},
         "encoding...\n",
         0,
         plain_encoded_a},
        {"one unit too long",
         "decode",
         plain,
         {cut + "\n"},
         "Error:The password is too long",
         1,
         ""},
        {"too long, then Ctrl-D",
         "decode",
         plain,
         {cut + "\x04b\n"},
         "Error:The password is too long",
         1,
         ""},
        {"mode checked before asking",
         "Encode",
         plain,
         {},
         "Error:The mode must be encode or decode:Encode",
         1,
         ""},
        {"typed ahead is not the password",
         "encode",
         plain,
         {"tarns\n", "tarns\n"},
         "encoding...\n",
         0,
         plain_encoded,
         "early\n"},
    };
    const scratch_folder scan;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string row = c.out + " (" + std::to_string(c.typed.size()) + " lines)";
        const scratch_folder dir;
        write_file(dir / "in", c.source);
        // As the run ends, its memory holds no copy of a typed password
        // ("tarns"), taken or refused.
        const std::string report = scan / "report";
        unlink(report.c_str());
        if (shim_loads) {
            preload_shim({"ZODEVIR_SCAN=7461726e73", "ZODEVIR_SCAN_REPORT=" + report});
        }
        terminal_run run = start_on_terminal({dir / "in", dir / "out", "", c.mode}, job::leader, 0,
                                             false, c.ahead);
        preload_shim({});
        std::string screen;
        for (const auto& keys : c.typed) {
            screen += wait_for_text(run.terminal, ": ");
            EXPECT_FALSE(echo_is_on(run.terminal));
            ASSERT_EQ(write(run.terminal, keys.data(), keys.size()),
                      static_cast<ssize_t>(keys.size()));
        }
        end_if_stuck(run.pid);
        const run_result r = finish(run.output);
        EXPECT_TRUE(echo_is_on(run.terminal)) << row;
        screen += rest_of_screen(run.terminal);
        close(run.terminal);
        EXPECT_EQ(r.exit_code, c.status) << row;
        EXPECT_EQ(r.out, c.out) << row;
        EXPECT_EQ(screen.find("tarn"), std::string::npos) << "the password was echoed: " << screen;
        if (c.typed.empty()) {
            EXPECT_EQ(screen, "") << row;
        }
        if (shim_loads) {
            EXPECT_EQ(read_file(report), "clean") << row;
        }
        if (c.typed.size() == 2 && c.status == 0) {  // a newline after each hidden line
            EXPECT_EQ(screen, (c.ahead.empty() ? "" : "early\r\n") +
                                  std::string("Password: \r\nPassword again: \r\n"))
                << row;
        }
        if (c.result.empty()) {
            EXPECT_EQ(folder_entries(dir.path), strings{"in"}) << row;
        } else {
            EXPECT_EQ(read_file(dir / "out"), c.result) << row;
        }
    }
}

TEST_F(Prompt, PasswordFileThatIsTheTerminalIsAskedForAsThePromptAsks)
{
    // Naming the terminal as the password file asks there with the echo
    // off, twice when encoding, instead of echoing the password as it is
    // typed: the run's own (/dev/tty), or another one, named, which is
    // asked on rather than the run's.
    for (const std::string mode : {"encode", "encode, another terminal", "decode"}) {
        const scratch_folder dir;
        write_file(dir / "in", mode == "decode" ? plain_encoded : plain);
        int other = -1;
        int other_slave = -1;
        ASSERT_EQ(openpty(&other, &other_slave, nullptr, nullptr, nullptr), 0);
        const bool named = mode != "encode" && mode != "decode";
        setenv("ZODEVIR_PASSWORD_FILE", named ? ptsname(other) : "/dev/tty", 1);
        terminal_run run = start_on_terminal({dir / "in", dir / "out", "", mode.substr(0, 6)});
        unsetenv("ZODEVIR_PASSWORD_FILE");
        const int asked = named ? other : run.terminal;
        std::string screen;
        for (int i = mode == "decode" ? 1 : 2; i > 0; --i) {
            screen += wait_for_text(asked, ": ");
            EXPECT_FALSE(echo_is_on(asked)) << mode;
            ASSERT_EQ(write(asked, "tarns\n", 6), 6);
        }
        end_if_stuck(run.pid);
        const run_result r = finish(run.output);
        close(other_slave);  // so that the other terminal's screen ends with the run
        screen += rest_of_screen(asked);
        close(run.terminal);
        close(other);
        EXPECT_EQ(r.exit_code, 0) << mode;
        EXPECT_EQ(screen,
                  mode == "decode" ? "Password: \r\n" : "Password: \r\nPassword again: \r\n");
        EXPECT_EQ(read_file(dir / "out"), mode == "decode" ? plain : plain_encoded);
    }
}

TEST_F(Prompt, SignalDuringThePromptGivesTheTerminalItsEchoBack)
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

TEST_F(Prompt, StoppedAtThePromptTheTerminalEchoesAndOnContinuingItDoesNot)
{
    // Ctrl-Z stops the run; keys typed while it is stopped are dropped when
    // it continues. Started with SIGTSTP ignored, Ctrl-Z does nothing.
    for (const bool ignored : {false, true}) {
        const scratch_folder dir;
        write_file(dir / "in", plain_encoded);
        terminal_run run = start_on_terminal({dir / "in", dir / "out", "", "decode"},
                                             job::foreground, ignored ? SIGTSTP : 0);
        wait_for_text(run.terminal, "Password: ");
        const pid_t job = tcgetpgrp(run.terminal);
        ASSERT_EQ(write(run.terminal, "tar\x1a", 4), 4);  // part of it, then Ctrl-Z
        if (!ignored) {
            const std::string state = "/proc/" + std::to_string(job) + "/stat";
            for (int i = 0; i < 10000 && read_file(state).find(") T ") == std::string::npos; ++i) {
                usleep(1000);
            }
            ASSERT_NE(read_file(state).find(") T "), std::string::npos) << "the run did not stop";
            EXPECT_TRUE(echo_is_on(run.terminal));
            ASSERT_EQ(write(run.terminal, "zz\n", 3), 3);
            usleep(20000);
            kill(job, SIGCONT);
            // The line typed so far is gone with the stop: the prompt comes again.
            wait_for_text(run.terminal, "Password: ");
            EXPECT_FALSE(echo_is_on(run.terminal));
        }
        // Ctrl-Z flushed the line either way.
        ASSERT_EQ(write(run.terminal, "tarns\n", 6), 6);
        end_if_stuck(run.pid);
        const run_result r = finish(run.output);
        close(run.terminal);
        EXPECT_EQ(r.exit_code, 0) << ignored;
        EXPECT_EQ(read_file(dir / "out"), plain) << ignored;
    }
}

TEST_F(Prompt, StartedInTheBackgroundThenBroughtToTheForegroundItAsks)
{
    // zodevir ... "" decode &, then fg: the run stops when it sets the
    // terminal from the background, and asks once it has the terminal.
    const scratch_folder dir;
    write_file(dir / "in", plain_encoded);
    terminal_run run = start_on_terminal({dir / "in", dir / "out", "", "decode"}, job::background);
    wait_for_text(run.terminal, "Password: ");
    EXPECT_FALSE(echo_is_on(run.terminal));
    ASSERT_EQ(write(run.terminal, "tarns\n", 6), 6);
    end_if_stuck(run.pid);
    const run_result r = finish(run.output);
    EXPECT_TRUE(echo_is_on(run.terminal));
    close(run.terminal);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(dir / "out"), plain);
}

TEST_F(Prompt, OnATerminalErrorsEndTheirLineAndSayWhy)
{
    // Through a pipe the same runs print exactly what they always did (the
    // other suites' rows).
    const scratch_folder dir;
    write_file(dir / "in", plain);
    mkdir((dir / "folder").c_str(), 0755);
    const struct {
        strings args;
        std::string screen;              // the terminal turns each \n into \r\n
        bool output_on_terminal = true;  // else standard output is a pipe
        std::string error_to = {};       // a file standard error is opened on to append
        std::string fault = {};          // the fault shim's call, failed with EACCES
    } cases[] = {
        {{dir / "missing", dir / "out", "tarns", "encode"},
         "encoding...Error:Cannot open the source file:" + dir / "missing" +
             " (No such file or directory)\r\n"},
        {{dir / "folder", dir / "out", "tarns", "encode"},
         "encoding...Error:Cannot open the source file:" + dir / "folder" +
             " (Is a directory)\r\n"},
        {{dir / "in", dir / "no/out", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:" + dir / "no/out" +
             " (No such file or directory)\r\n"},
        {{dir / "in", dir / "folder", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:" + dir / "folder" +
             " (Is a directory)\r\n"},
        {{dir / "in", "/dev/full", "tarns", "encode"},
         "encoding...Error:Cannot write the destiny file:/dev/full (No space left on device)\r\n"},
        {{"/proc/self/mem", dir / "out", "tarns", "encode"},
         "encoding...Error:Cannot read the source file:/proc/self/mem (Input/output error)\r\n"},
        {{dir / "in", dir / "out", "tarns", "Encode"},
         "Error:The mode must be encode or decode:Encode\r\n"},
        // Names the run refuses itself get the kernel's reason.
        {{dir / "in", "/dev/fd/01", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:/dev/fd/01 (No such file or "
         "directory)\r\n"},
        {{dir / "in", "/dev/fd/4294967297", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:/dev/fd/4294967297 (No such file or "
         "directory)\r\n"},
        {{dir / "in", dir / "nothere/", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:" + dir / "nothere/" +
             " (Is a directory)\r\n"},
        // The console text goes to standard error, the terminal, when the
        // output is standard output, a pipe.
        {{dir / "missing", "/dev/stdout", "tarns", "encode"},
         "encoding...Error:Cannot open the source file:" + dir / "missing" +
             " (No such file or directory)\r\n",
         false},
        // A name that would drive the terminal, or is not UTF-8, is quoted.
        {{dir / "no\033]0;owned\a\nError:forged", dir / "out", "tarns", "encode"},
         "encoding...Error:Cannot open the source file:$'" +
             dir / "no\\E]0;owned\\x07\\nError:forged" + "' (No such file or directory)\r\n"},
        {{dir / "in", dir / "caf\xff/it's", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:$'" + dir / "caf\\xFF/it\\'s" +
             "' (No such file or directory)\r\n"},
        // The run's own refusals say what it found.
        {{dir / "in", "/dev/stderr", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:/dev/stderr (it is the source file, which "
         "would be read as it is written)\r\n",
         true,
         dir / "in"},
        {{dir / "in", dir / "out", "tarns", "encode"},
         "encoding...Error:Cannot open the destiny file:" + dir / "out" +
             " (no temporary file can be made in its folder: Permission denied)\r\n",
         true,
         "",
         "create"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        if (c.args[0] == "/proc/self/mem" && geteuid() != 0) {
            continue;  // only root may open a process's memory that is not dumpable
        }
        if (!c.fault.empty() && !shim_loads) {
            continue;
        }
        const int error_fd =
            c.error_to.empty() ? -1 : open(c.error_to.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (!c.fault.empty()) {
            preload_shim({"ZODEVIR_FAULT=" + c.fault, "ZODEVIR_FAULT_ERRNO=13"});
        }
        terminal_run run =
            start_on_terminal(c.args, job::leader, 0, c.output_on_terminal, "", error_fd);
        preload_shim({});
        close(error_fd);
        end_if_stuck(run.pid);
        const run_result r = finish(run.output);
        EXPECT_EQ(rest_of_screen(run.terminal), c.screen);
        EXPECT_EQ(r.out, "");
        close(run.terminal);
        EXPECT_EQ(r.exit_code, 1);
    }
    // The typed password's errors, and an unreadable password file.
    terminal_run run =
        start_on_terminal({dir / "in", dir / "out", "", "decode"}, job::leader, 0, true);
    wait_for_text(run.terminal, "Password: ");
    ASSERT_EQ(write(run.terminal, "\n", 1), 1);
    end_if_stuck(run.pid);
    finish(run.output);
    EXPECT_EQ(rest_of_screen(run.terminal), "\r\nError:The password must not be empty\r\n");
    close(run.terminal);
    setenv("ZODEVIR_PASSWORD_FILE", (dir / "folder").c_str(), 1);
    run = start_on_terminal({dir / "in", dir / "out", "", "decode"}, job::leader, 0, true);
    unsetenv("ZODEVIR_PASSWORD_FILE");
    end_if_stuck(run.pid);
    finish(run.output);
    EXPECT_EQ(rest_of_screen(run.terminal),
              "Error:Cannot read the password file:" + dir / "folder" + " (Is a directory)\r\n");
    close(run.terminal);
    // The reason is the failed read's, whatever the close after it says.
    if (shim_loads) {
        preload_shim({"ZODEVIR_FAULT=read_then_close", "ZODEVIR_FAULT_ERRNO=13"});
        setenv("ZODEVIR_PASSWORD_FILE", (dir / "in").c_str(), 1);
        run = start_on_terminal({dir / "in", dir / "out", "", "decode"}, job::leader, 0, true);
        unsetenv("ZODEVIR_PASSWORD_FILE");
        preload_shim({});
        end_if_stuck(run.pid);
        finish(run.output);
        EXPECT_EQ(rest_of_screen(run.terminal),
                  "Error:Cannot read the password file:" + dir / "in" + " (Permission denied)\r\n");
        close(run.terminal);
    }
}

// The lines a terminal shows for bytes written to it: \r returns to the
// start of the line, ESC [K erases to its end, \n starts the next one, and
// other bytes overwrite what is under the cursor.
strings rendered(const std::string& bytes)
{
    strings lines(1);
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string& line = lines.back();
        if (bytes[i] == '\r') {
            column = 0;
        } else if (bytes[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (bytes.compare(i, 3, "\033[K") == 0) {
            line.resize(std::min(line.size(), column));
            i += 2;
        } else {
            line.resize(std::max(line.size(), column + 1), ' ');
            line[column++] = bytes[i];
        }
    }
    for (auto& line : lines) {
        line.erase(line.find_last_not_of(' ') + 1);
    }
    return lines;
}

TEST_F(Prompt, LongRunShowsItsProgressOnTheTerminalAndErasesIt)
{
    // A source that trickles in: for more than a second the line shows how
    // far it got, redrawn a few times a second, then is erased, leaving the
    // announcement as it was; under a second it never shows.
    const struct {
        std::string name;
        std::size_t blocks;
        std::size_t size;
        useconds_t pause_us;
        bool shown;
        bool error_elsewhere = false;  // standard error on a second terminal
        // The output to standard output, on the terminal or through a pipe
        // (whose reader may show it there): then no line is drawn at all.
        bool to_terminal = false;
        bool to_pipe = false;
        unsigned short columns = 0;  // the terminal's width, when not 80
        // Then this many 64 KiB blocks a quarter of a second apart: the rate
        // shown at the end is that recent one, not the run's average.
        std::size_t then_slow = 0;
    } cases[] = {{"large blocks, slowly", 6, 1 << 20, 300000, true},
                 {"small blocks, often", 100, 64 << 10, 20000, true},
                 {"under a second", 8, 64 << 10, 50000, false},
                 {"standard error on another terminal", 100, 64 << 10, 20000, true, true},
                 {"output on the terminal", 100, 16, 20000, false, false, true},
                 {"40 columns", 100, 64 << 10, 20000, true, false, false, false, 40},
                 {"20 columns", 100, 64 << 10, 20000, true, false, false, false, 20},
                 {"output through a pipe", 100, 256, 20000, false, false, false, true},
                 {"fast, then a trickle", 40, 256 << 10, 0, true, false, false, false, 0, 12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_folder dir;
        ASSERT_EQ(mkfifo((dir / "in").c_str(), 0600), 0);
        const auto started = std::chrono::steady_clock::now();
        int other = -1;
        int other_slave = -1;
        if (c.error_elsewhere) {
            ASSERT_EQ(openpty(&other, &other_slave, nullptr, nullptr, nullptr), 0);
        }
        const bool streamed = c.to_terminal || c.to_pipe;
        terminal_run run = start_on_terminal(
            {dir / "in", streamed ? "/dev/stdout" : dir / "out", "tarns", "encode"}, job::leader, 0,
            !c.to_pipe, "", other_slave);
        close(other_slave);
        const winsize size{c.columns, c.columns, 0, 0};
        if (c.columns != 0) {
            ASSERT_EQ(ioctl(run.terminal, TIOCSWINSZ, &size), 0);
        }
        const int writer = open((dir / "in").c_str(), O_WRONLY);
        const std::string block(c.size, 'x');
        for (std::size_t i = 0; i < c.blocks; ++i) {
            ASSERT_EQ(write(writer, block.data(), block.size()),
                      static_cast<ssize_t>(block.size()));
            usleep(c.pause_us);
        }
        const std::string slow_block(64 << 10, 'y');
        for (std::size_t i = 0; i < c.then_slow; ++i) {
            ASSERT_EQ(write(writer, slow_block.data(), slow_block.size()),
                      static_cast<ssize_t>(slow_block.size()));
            usleep(250000);
        }
        close(writer);
        end_if_stuck(run.pid);
        const run_result r = finish(run.output);
        const auto took =
            static_cast<std::size_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - started)
                                         .count());
        const std::string screen = rest_of_screen(run.terminal);
        close(run.terminal);
        EXPECT_EQ(r.exit_code, 0);
        if (streamed) {
            EXPECT_EQ(screen.find("MiB"), std::string::npos) << screen;
            EXPECT_EQ(c.to_pipe ? screen : r.out, c.to_pipe ? "encoding...\r\n" : "");
            EXPECT_EQ(r.out.size(), c.to_pipe ? c.blocks * c.size : 0);
            continue;
        }
        EXPECT_EQ(read_file(dir / "out").size(), c.blocks * c.size + c.then_slow * (64 << 10));
        if (!c.shown) {
            EXPECT_EQ(screen, "encoding...\r\n");
            continue;
        }
        if (c.error_elsewhere) {
            // The announcement is on the console's terminal only, once; the
            // other one shows the progress alone, and is left blank.
            const std::string progress = rest_of_screen(other);
            close(other);
            EXPECT_EQ(screen, "encoding...\r\n");
            EXPECT_NE(progress.find(" MiB/s"), std::string::npos) << progress;
            EXPECT_EQ(progress.find("encoding"), std::string::npos) << progress;
            EXPECT_EQ(rendered(progress), strings{""}) << progress;
            continue;
        }
        // A narrow terminal drops the fields that do not fit.
        EXPECT_NE(screen.find("\rencoding... "), std::string::npos) << screen;
        EXPECT_EQ(screen.find(" MiB/s") != std::string::npos, c.columns == 0 || c.columns > 30);
        EXPECT_EQ(screen.find(" MiB written, flushing to the disk") != std::string::npos,
                  c.columns == 0)
            << screen;
        // At most one redraw a quarter of a second after the first second,
        // then the flushing line and the erase.
        std::size_t draws = 0;
        for (std::size_t at = 0; (at = screen.find("\rencoding... ", at)) != std::string::npos;
             ++at) {
            ++draws;
        }
        EXPECT_LE(draws, (took - 1000) / 250 + 4) << screen;
        if (c.then_slow != 0) {
            // 10 MiB at once, then 0.25 MiB/s for 3 s: the average would
            // still be some 3 MiB/s.
            const std::size_t last = screen.rfind(" MiB/s");
            ASSERT_NE(last, std::string::npos) << screen;
            const std::size_t number = screen.rfind(' ', last - 1) + 1;
            EXPECT_LT(std::stod(screen.substr(number, last - number)), 1.0) << screen;
        }
        // Each redraw fits the terminal's width, short of its last column.
        for (std::size_t at = 0, next; at < screen.size(); at = next + 1) {
            next = std::min(screen.find_first_of("\r\n", at), screen.size());
            EXPECT_LT(next - at, c.columns != 0 ? c.columns : 80u) << screen;
        }
        // Erased as the screen shows it: only the announcement is left.
        EXPECT_EQ(rendered(screen), (strings{"encoding...", ""})) << screen;
    }
}

TEST_F(Prompt, SignalAfterATypedPasswordStillRemovesTheTemporaryFile)
{
    // The prompt's handlers give way to the run's own once it is answered.
    const scratch_folder dir;
    ASSERT_EQ(mkfifo((dir / "in").c_str(), 0600), 0);
    write_file(dir / "out", old_bytes);
    terminal_run run = start_on_terminal({dir / "in", dir / "out", "", "decode"});
    wait_for_text(run.terminal, "Password: ");
    ASSERT_EQ(write(run.terminal, "tarns\n", 6), 6);
    const int writer = open((dir / "in").c_str(), O_WRONLY);
    ASSERT_EQ(write(writer, plain.data(), plain.size()), static_cast<ssize_t>(plain.size()));
    ASSERT_TRUE(wait_for_temporary(dir.path, static_cast<off_t>(plain.size())));
    kill(run.pid, SIGTERM);
    close(writer);
    const run_result r = finish(run.output);
    close(run.terminal);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_EQ(read_file(dir / "out"), old_bytes);
    EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));
}

TEST(Flags, HelpAndVersionSucceedAndOtherShortCommandLinesShowTheBanner)
{
    const std::string banner_end = "Example: zodevir.exe file1.txt newfile.txt tarns encode\n";
    const struct {
        strings args;
        int status;
        std::string tail;  // how the output ends
    } cases[] = {
        {{"--help"},
         0,
         banner_end + "An empty password is read from the file $ZODEVIR_PASSWORD_FILE names,\n"
                      "or from $ZODEVIR_PASSWORD, or asked for at the terminal.\n"
                      "The whole manual: man zodevir\n"},
        {{"--version"}, 0, "zodevir " ZODEVIR_VERSION "\n"},
        {{"--version", "b", "c"}, 1, banner_end},
        {{"--help", "extra"}, 1, banner_end},
        {{"-h"}, 1, banner_end},
        {{"--HELP"}, 1, banner_end},
        {{"--help", "b", "pw", "encode"}, 1, "encoding...Error:Cannot open the source file:--help"},
        {{"a", "--help", "c"}, 1, banner_end},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result r = run_zodevir(c.args);
        EXPECT_EQ(r.exit_code, c.status) << c.args[0];
        if (r.out.size() < c.tail.size()) {
            ADD_FAILURE() << r.out;
            continue;
        }
        EXPECT_EQ(r.out.substr(r.out.size() - c.tail.size()), c.tail) << c.args[0];
    }
    EXPECT_EQ(run_zodevir({"--version"}).out, "zodevir " ZODEVIR_VERSION "\n");
}

}  // namespace
