#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "key_table.h"

#ifndef ZODEVIR_BINARY
#error "ZODEVIR_BINARY must name the binary under test"
#endif

running start_zodevir(const std::vector<std::string>& args, const run_options& options)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        std::abort();
    }
    std::vector<std::string> words{ZODEVIR_BINARY};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        // Without a controlling terminal, as in CI: a run given an empty
        // password then refuses it instead of prompting on the developer's
        // terminal.
        setsid();
        if (!options.folder.empty() && chdir(options.folder.c_str()) != 0) {
            _exit(126);
        }
        if (options.file_size_limit != RLIM_INFINITY) {
            const rlimit limit{options.file_size_limit, options.file_size_limit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.ignore_sigxfsz) {
            signal(SIGXFSZ, SIG_IGN);
        }
        // The binary is opened before giving up root: the other user may not
        // be able to reach the build folder.
        const int binary = open(argv[0], O_RDONLY | O_CLOEXEC);
        const gid_t groups[] = {options.extra_group};
        if (options.user != 0 && (setgroups(options.extra_group != 0 ? 1 : 0, groups) != 0 ||
                                  setgid(options.user) != 0 || setuid(options.user) != 0)) {
            _exit(126);
        }
        for (const auto& entry : options.environment) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        // A run ended by SIGQUIT or SIGXCPU leaves no core file in the build
        // folder, unless a test looks for one.
        const rlimit core{options.core_dumps ? RLIM_INFINITY : 0,
                          options.core_dumps ? RLIM_INFINITY : 0};
        setrlimit(RLIMIT_CORE, &core);
        if (options.umask_value >= 0) {
            umask(static_cast<mode_t>(options.umask_value));
        }
        // The test runner may have blocked or ignored these; a run starts clean.
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        if (options.ignored_signal != 0) {
            signal(options.ignored_signal, SIG_IGN);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // By path, unless the user may not reach it: an emulated build's
        // interpreter (binfmt_misc) cannot open a close-on-exec descriptor.
        if (options.user == 0) {
            execv(argv[0], argv.data());
        }
        fexecve(binary, argv.data(), environ);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return running{pid, out[0], err[0]};
}

std::string read_output(running& child, std::size_t want)
{
    std::string text;
    char chunk[4096];
    while (text.size() < want) {
        const ssize_t n = read(child.out_fd, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

namespace {

std::string drain(int fd)
{
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

}  // namespace

int wait_for(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

run_result finish(running& child, std::string already_read)
{
    run_result result;
    result.out = std::move(already_read) + drain(child.out_fd);
    result.err = drain(child.err_fd);
    const int status = wait_for(child.pid);
    if (status == -1) {
        return result;  // neither an exit code nor a signal
    }
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

run_result run_zodevir(const std::vector<std::string>& args, const run_options& options)
{
    running child = start_zodevir(args, options);
    return finish(child);
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

mode_t mode_of(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

bool path_exists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> folder_entries(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool sh(const std::string& command, const std::string& folder)
{
    return failure_of(command, folder).empty();
}

std::string failure_of(const std::string& command, const std::string& folder)
{
    const std::string in = folder.empty() ? "" : "cd '" + folder + "' && ";
    FILE* p = popen((in + "{ " + command + "\n} 2>&1 > /dev/null").c_str(), "r");
    if (p == nullptr) {
        return std::string("cannot start a shell: ") + std::strerror(errno);
    }
    std::string said;
    char line[512];
    while (std::fgets(line, sizeof line, p) != nullptr) {
        if (said.empty()) {
            said = std::string(line, std::strcspn(line, "\n"));
        }
    }
    const int status = pclose(p);
    if (status == 0) {
        return {};
    }
    if (!said.empty()) {
        return said;
    }
    return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status)) : "killed";
}

std::string needs_root()
{
    return geteuid() == 0 ? "" : "needs root (running as uid " + std::to_string(geteuid()) + ")";
}

void skip_row(const std::string& row, const std::string& why)
{
    std::printf("zodevir-tests: row skipped: %s: %s\n", row.c_str(), why.c_str());
    std::fflush(stdout);
}

bool reachable_by_another_user(const std::string& path)
{
    return sh("setpriv --reuid=65534 --regid=65534 --clear-groups test -x '" + path + "'");
}

std::string temporary_in(const std::string& folder)
{
    for (const auto& name : folder_entries(folder)) {
        if (name.rfind(".zodevir-", 0) == 0) {
            return folder + "/" + name;
        }
    }
    return {};
}

bool wait_for_temporary(const std::string& folder, off_t size)
{
    for (int i = 0; i < 20000; ++i) {
        struct stat st {};
        const std::string temporary = temporary_in(folder);
        if (!temporary.empty() && stat(temporary.c_str(), &st) == 0 && st.st_size >= size) {
            return true;
        }
        usleep(1000);
    }
    return false;
}

machine_lock::machine_lock(const std::string& what)
{
    const std::string path = "/tmp/zodevir-tests-" + what + ".lock";
    fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    while (fd >= 0 && flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

machine_lock::~machine_lock()
{
    if (fd >= 0) {
        close(fd);
    }
}

scratch_folder::scratch_folder()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zodevir-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::abort();
    }
    path = pattern;
}

scratch_folder::~scratch_folder()
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string expected_output(const std::string& data, const std::string& password, cipher_mode mode,
                            std::uint64_t first_position)
{
    const key_table table = build_key_table(password);
    std::string out = data;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto slot = static_cast<std::size_t>((first_position + i) % KEY_TABLE_SIZE);
        out[i] = static_cast<char>(
            transform_byte(mode, table[slot], static_cast<std::uint8_t>(data[i])));
    }
    return out;
}

std::string sample_bytes(std::size_t size, unsigned seed)
{
    std::string data(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& c : data) {
        state = state * 1664525u + 1013904223u;
        c = static_cast<char>(state >> 24);
    }
    return data;
}
