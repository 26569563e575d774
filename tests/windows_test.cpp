// zodevir.exe as a Windows user meets it: started with CreateProcessW, its
// output read from a pipe, its files checked with Windows' own calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "close_wait_win32.h"
#include "security_win32.h"
#include "support.h"
#include "text_win32.h"

namespace {

namespace fs = std::filesystem;

struct run_result {
    DWORD status = 0;
    std::string out;  // standard output and standard error, as bytes
};

fs::path zodevir_exe()
{
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return fs::path(std::wstring(self, n)).parent_path() / L"zodevir.exe";
}

// Runs zodevir.exe with the given command line tail in folder; its output
// goes to output_file instead when one is named.
// With started, the process (a handle of its own, for the caller to close)
// is handed there as soon as it runs.
run_result run(const std::wstring& arguments, const fs::path& folder,
               const fs::path& output_file = {}, const fs::path& error_file = {},
               std::atomic<HANDLE>* started_process = nullptr)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    EXPECT_TRUE(CreatePipe(&read_end, &write_end, &inherit, 0));
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null;
    HANDLE file = output_file.empty()
                      ? INVALID_HANDLE_VALUE
                      : CreateFileW(output_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, 0, nullptr);
    startup.hStdOutput = file != INVALID_HANDLE_VALUE ? file : write_end;
    // The same name for both is one handle for both, as 2>&1 makes it.
    HANDLE error = error_file.empty() || error_file == output_file
                       ? INVALID_HANDLE_VALUE
                       : CreateFileW(error_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                     CREATE_ALWAYS, 0, nullptr);
    startup.hStdError = error != INVALID_HANDLE_VALUE ? error : startup.hStdOutput;
    std::wstring command = L"\"" + zodevir_exe().wstring() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    // wine now and then fails to start a process at all (ERROR_INTERNAL_ERROR)
    // and does at the next try; a start that fails says nothing of the tool.
    bool started = false;
    DWORD start_error = 0;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 folder.c_str(), &startup, &process);
        start_error = started ? 0 : GetLastError();
        if (!started && start_error != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    EXPECT_TRUE(started) << start_error;
    HANDLE own = nullptr;
    if (started && started_process != nullptr &&
        DuplicateHandle(GetCurrentProcess(), process.hProcess, GetCurrentProcess(), &own, 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
        started_process->store(own);
    }
    CloseHandle(write_end);
    CloseHandle(null);
    for (HANDLE redirected : {file, error}) {
        if (redirected != INVALID_HANDLE_VALUE) {
            CloseHandle(redirected);
        }
    }
    run_result result;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        result.out.append(chunk, got);
    }
    CloseHandle(read_end);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &result.status);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    return result;
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::vector<std::wstring> entries(const fs::path& folder)
{
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().wstring());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Removes a folder and all in it, read-only files and paths past 260
// characters included.
void remove_tree(const std::wstring& folder)
{
    const std::wstring prefixed = folder.rfind(L"\\\\?\\", 0) == 0 ? folder : L"\\\\?\\" + folder;
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((prefixed + L"\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring name = found.cFileName;
        const std::wstring path = prefixed + L"\\" + name;
        if (name == L"." || name == L"..") {
            continue;
        }
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            remove_tree(path);
        } else if (!DeleteFileW(path.c_str())) {
            RemoveDirectoryW(path.c_str());  // a link to a folder
        }
    }
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
    }
    RemoveDirectoryW(prefixed.c_str());
}

// A fresh folder under the temporary folder, removed at the end.
struct scratch_folder {
    scratch_folder()
    {
        path =
            fs::temp_directory_path() / (L"zodevir-test-" + std::to_wstring(GetCurrentProcessId()) +
                                         L"-" + std::to_wstring(counter++));
        remove_tree(path.wstring());
        fs::create_directories(path / L"sub");
    }
    ~scratch_folder() { remove_tree(path.wstring()); }
    static inline int counter = 0;
    fs::path path;
};

// Makes a symbolic link in folder; under wine, whose CreateSymbolicLinkW
// makes nothing, a Unix link. Check that it is there.
void make_link(const fs::path& folder, const std::wstring& name, const std::wstring& target)
{
    const fs::path link = folder / name;
    using unix_name = char*(CDECL*)(const wchar_t*);
    const auto to_unix = reinterpret_cast<unix_name>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if ((CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) &&
         GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) ||
        to_unix == nullptr) {
        return;
    }
    const std::string where = to_unix(link.c_str());
    std::wstring ln = L"start.exe /wait /unix /bin/ln -s " + target + L" " +
                      std::wstring(where.begin(), where.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, ln.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

TEST(Windows, RunsAsOnLinux)
{
    const std::wstring unicode = L"f\u00efl\u00e9-\u03a9-\U0001F600.txt";
    // Relative, so that only the full path passes 260 characters.
    const std::wstring deep = L"sub\\" + std::wstring(100, L'a') + L"\\" + std::wstring(100, L'b') +
                              L"\\" + std::wstring(100, L'c');
    const struct {
        const char* name;
        std::wstring source;  // written with plain text first
        std::wstring target;  // "out" and "ro" (read-only) start as old_bytes
        std::wstring password;
        DWORD status;
        std::string out;
        std::wstring written;  // the file that holds the output afterwards, if any
    } cases[] = {
        {"new destination", L"in", L"new", L"tarns", 0, "encoding...\n", L"new"},
        {"replaced destination", L"in", L"out", L"tarns", 0, "encoding...\n", L"out"},
        {"in place", L"in", L"in", L"tarns", 0, "encoding...\n", L"in"},
        {"in place, dotted", L"in", L".\\in", L"tarns", 0, "encoding...\n", L"in"},
        {"in place, through a folder", L"sub\\..\\in", L"in", L"tarns", 0, "encoding...\n", L"in"},
        {"Unicode names", unicode, unicode + L".enc", L"tarns", 0, "encoding...\n",
         unicode + L".enc"},
        {"missing Unicode source", L"missing-\U0001F600", L"new", L"tarns", 1,
         "encoding...Error:Cannot open the source file:missing-\xf0\x9f\x98\x80", L""},
        {"read-only destination", L"in", L"ro", L"tarns", 1,
         "encoding...Error:Cannot open the destiny file:ro", L""},
        {"folder as destination", L"in", L"sub", L"tarns", 1,
         "encoding...Error:Cannot open the destiny file:sub", L""},
        {"folder as source", L"sub", L"new", L"tarns", 1,
         "encoding...Error:Cannot open the source file:sub", L""},
        {"NUL as destination", L"in", L"NUL", L"tarns", 0, "encoding...\n", L""},
        // The file keeps its own name, whatever the spelling.
        {"in place, another case", L"in", L"IN", L"tarns", 0, "encoding...\n", L"in"},
        {"replaced, another case", L"in", L"OUT", L"tarns", 0, "encoding...\n", L"out"},
        {"a path of 300 characters", L"in", deep + L"\\out", L"tarns", 0, "encoding...\n",
         deep + L"\\out"},
        {"password outside the code page", L"in", L"new", L"pass\U0001F600", 1,
         "Error:The password cannot be represented in the system code page", L""},
        {"the mode checked before the password", L"in", L"new", L"pass\U0001F600\" \"Encode", 1,
         "Error:The mode must be encode or decode:Encode", L""},
        {"replaced, a path of 300 characters", L"in", deep + L"\\old", L"tarns", 0, "encoding...\n",
         deep + L"\\old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_folder dir;
        write_file(dir.path / L"in", plain);
        write_file(dir.path / unicode, plain);
        write_file(dir.path / L"out", old_bytes);
        write_file(dir.path / L"ro", old_bytes);
        const fs::path full = L"\\\\?\\" + (dir.path / deep).wstring();
        for (std::size_t at = full.wstring().find(L"\\sub\\") + 5; at != std::wstring::npos;
             at = full.wstring().find(L'\\', at + 1)) {
            CreateDirectoryW(full.wstring().substr(0, at).c_str(), nullptr);
        }
        CreateDirectoryW(full.c_str(), nullptr);
        write_file(full / L"old", old_bytes);
        SetFileAttributesW((dir.path / L"ro").c_str(), FILE_ATTRIBUTE_READONLY);
        const auto before = entries(dir.path);

        const run_result r =
            run(L"\"" + c.source + L"\" \"" + c.target + L"\" \"" + c.password + L"\" encode",
                dir.path);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        if (!c.written.empty()) {
            EXPECT_EQ(read_file(L"\\\\?\\" + (dir.path / c.written).wstring()), plain_encoded)
                << c.name;
            const auto names = entries(dir.path);
            const std::wstring top = c.written.substr(0, c.written.find(L'\\'));
            EXPECT_NE(std::find(names.begin(), names.end(), top), names.end())
                << c.name << ": renamed";
        } else {
            EXPECT_EQ(entries(dir.path), before) << c.name;
            EXPECT_EQ(read_file(dir.path / L"ro"), old_bytes) << c.name;
        }
        for (const auto& name : entries(dir.path)) {
            EXPECT_NE(name.rfind(L".zodevir-", 0), 0u) << c.name << ": a temporary file is left";
        }
    }
}

// What data encodes to under a one-byte password c, worked out from the
// definitions: slot i holds |(2i + 6) s(c)| mod 255, and its remainder by 3
// picks add, subtract or XOR.
std::string encoded_under_one_byte(const std::string& data, signed char c)
{
    std::string out = data;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int k = std::abs((2 * static_cast<int>(i % 1024) + 6) * c) % 255;
        const auto b = static_cast<unsigned char>(out[i]);
        out[i] = static_cast<char>(k % 3 == 0 ? b + k : k % 3 == 1 ? b - k : b ^ k);
    }
    return out;
}

TEST(Windows, EveryOneCharacterPasswordKeysAsOnLinux)
{
    // Every slot of the key, every printable character and some of the code
    // page's own, from a folder whose name holds some of them and with the
    // source named by its full path: a key slot or a name's UTF-16 text
    // that happens to hold the password's byte between two zeros is no
    // copy of the password.
    const scratch_folder dir;
    const fs::path folder = dir.path / L"data";
    fs::create_directories(folder);
    std::string data(1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + 3);
    }
    write_file(folder / L"in", data);
    std::vector<std::wstring> passwords;
    for (wchar_t c = L'!'; c <= L'~'; ++c) {
        if (c != L'"') {
            passwords.push_back(std::wstring(1, c));
        }
    }
    passwords.insert(passwords.end(), {L"\u00e9", L"\u00ff", L"\u00a3"});
    for (const auto& password : passwords) {
        char byte[4] = {};
        BOOL lossy = FALSE;
        if (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, password.c_str(), 1, byte,
                                sizeof byte, nullptr, &lossy) != 1 ||
            lossy) {
            continue;  // not one byte in this code page
        }
        SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(byte[0])));
        const run_result r =
            run(L"\"" + (folder / L"in").wstring() + L"\" out " + password + L" encode", folder);
        EXPECT_EQ(r.status, 0u) << r.out;
        EXPECT_TRUE(read_file(folder / L"out") == encoded_under_one_byte(data, byte[0]));
    }
}

TEST(Windows, InPlaceDecodesBackAndKeepsAttributes)
{
    const scratch_folder dir;
    write_file(dir.path / L"file", plain);
    SetFileAttributesW((dir.path / L"file").c_str(), FILE_ATTRIBUTE_SYSTEM);
    ASSERT_EQ(run(L"file .\\file tarns encode", dir.path).status, 0u);
    ASSERT_EQ(read_file(dir.path / L"file"), plain_encoded);
    const run_result back = run(L"sub\\..\\file file tarns decode", dir.path);
    EXPECT_EQ(back.status, 0u);
    EXPECT_EQ(back.out, "decoding...\n");
    EXPECT_EQ(read_file(dir.path / L"file"), plain);
    const DWORD attributes = GetFileAttributesW((dir.path / L"file").c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_SYSTEM);
    EXPECT_FALSE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(entries(dir.path), (std::vector<std::wstring>{L"file", L"sub"}));
}

TEST(Windows, DestinationKeepsItsRealNameAndLinksStayLinks)
{
    const scratch_folder dir;
    write_file(dir.path / L"in", plain);
    // By its 8.3 short name, where the file system gives one.
    write_file(dir.path / L"longfilename_data.bin", old_bytes);
    wchar_t short_name[MAX_PATH];
    const DWORD n =
        GetShortPathNameW((dir.path / L"longfilename_data.bin").c_str(), short_name, MAX_PATH);
    const std::wstring spelt = fs::path(std::wstring(short_name, n)).filename().wstring();
    if (n > 0 && spelt != L"longfilename_data.bin") {
        EXPECT_EQ(run(L"in " + spelt + L" tarns encode", dir.path).status, 0u);
        EXPECT_EQ(read_file(dir.path / L"longfilename_data.bin"), plain_encoded);
    }
    // A symbolic link stays a link; the file it leads to gets the output.
    // Under wine, whose CreateSymbolicLinkW makes nothing, a Unix link.
    write_file(dir.path / L"target", old_bytes);
    const fs::path link = dir.path / L"link";
    make_link(dir.path, L"link", L"target");
    if (GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no symbolic links here";
    }
    EXPECT_EQ(run(L"in link tarns encode", dir.path).status, 0u);
    EXPECT_EQ(read_file(dir.path / L"target"), plain_encoded);
    EXPECT_EQ(entries(dir.path), (std::vector<std::wstring>{
                                     L"in", L"link", L"longfilename_data.bin", L"sub", L"target"}));
    write_file(dir.path / L"target", old_bytes);
    EXPECT_EQ(read_file(link), old_bytes) << "the link was replaced by a file";
    // A link to nothing is refused, and stays a link.
    make_link(dir.path, L"dangling", L"nowhere");
    const run_result r = run(L"in dangling tarns encode", dir.path);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:dangling");
    // (Wine lists a link to nothing as nothing.)
    const auto names = entries(dir.path);
    EXPECT_EQ(std::find(names.begin(), names.end(), L"nowhere"), names.end());
    EXPECT_EQ(read_file(dir.path / L"dangling"), "") << "the link was replaced by a file";
}

TEST(Windows, StandardOutputsFileAndAHeldFileAreWritten)
{
    // > out: written through standard output's own handle, the console text
    // on standard error, as on Linux.
    const scratch_folder dir;
    write_file(dir.path / L"in", plain);
    const run_result r =
        run(L"in out tarns encode", dir.path, dir.path / L"out", dir.path / L"console");
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(read_file(dir.path / L"out"), plain_encoded);
    EXPECT_EQ(read_file(dir.path / L"console"), "encoding...\n");
    // > out 2>&1 and 2> out: exactly the data, as on Linux; the console
    // text goes only where the output does not.
    for (const bool both : {true, false}) {
        SCOPED_TRACE(both ? "> out 2>&1" : "2> out");
        const run_result r2 = run(L"in out tarns encode", dir.path,
                                  both ? dir.path / L"out" : fs::path(), dir.path / L"out");
        EXPECT_EQ(r2.status, 0u);
        EXPECT_EQ(r2.out, both ? "" : "encoding...\n");
        EXPECT_EQ(read_file(dir.path / L"out"), plain_encoded);
    }
    // A destination another program holds without write sharing for a
    // moment is waited for.
    write_file(dir.path / L"held", old_bytes);
    HANDLE held = CreateFileW((dir.path / L"held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread holder([held] {
        Sleep(300);
        CloseHandle(held);
    });
    const run_result waited = run(L"in held tarns encode", dir.path);
    holder.join();
    EXPECT_EQ(waited.status, 0u) << waited.out;
    EXPECT_EQ(read_file(dir.path / L"held"), plain_encoded);
    // Standard output's file is known by its identity, through a linked
    // folder too.
    CreateDirectoryW((dir.path / L"real").c_str(), nullptr);
    make_link(dir.path, L"via", L"real");
    if (GetFileAttributesW((dir.path / L"via").c_str()) != INVALID_FILE_ATTRIBUTES) {
        const run_result linked = run(L"in via\\out tarns encode", dir.path,
                                      dir.path / L"via" / L"out", dir.path / L"console");
        EXPECT_EQ(linked.status, 0u);
        EXPECT_EQ(read_file(dir.path / L"real" / L"out"), plain_encoded);
        EXPECT_EQ(read_file(dir.path / L"console"), "encoding...\n");
    }
}

TEST(Windows, NewFileInADrivesRootFolder)
{
    // The root folder of the drive the temporary files are on, where this
    // user may make a file there at all (under wine, or as an administrator).
    const scratch_folder dir;
    write_file(dir.path / L"in", plain);
    const fs::path root = fs::temp_directory_path().root_path();
    const fs::path probe = root / (L"zodevir-probe-" + std::to_wstring(GetCurrentProcessId()));
    HANDLE made = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (made == INVALID_HANDLE_VALUE) {
        GTEST_SKIP() << "this user may not make files in " << root.string();
    }
    CloseHandle(made);
    const fs::path target = root / (L"zodevir-new-" + std::to_wstring(GetCurrentProcessId()));
    const run_result r = run(L"in \"" + target.wstring() + L"\" tarns encode", dir.path);
    EXPECT_EQ(r.status, 0u) << r.out;
    EXPECT_EQ(read_file(target), plain_encoded);
    DeleteFileW(target.c_str());
}

TEST(Windows, TheFolderOfANameInAVolumesRootIsTheRootFolder)
{
    // \\?\D: opens the volume, not its root folder (Naming Files, Paths, and
    // Namespaces: "\\.\C:" and "\\?\C:" name the volume); wine cannot show it.
    const struct {
        const wchar_t* folder;  // what precedes the name's last backslash
        bool root;
    } cases[] = {
        {L"\\\\?\\D:", true},
        {L"\\\\?\\D:\\sub", false},
        {L"\\\\?\\UNC\\server\\share", true},
        {L"\\\\?\\UNC\\server\\share\\sub", false},
        {L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}", true},
        {L"C:", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_volume_root(c.folder, wcslen(c.folder)), c.root)
            << fs::path(c.folder).string();
    }
}

TEST(Windows, AClosedConsoleWaitsForTheFlushFromTheCloseEvent)
{
    // Windows ends a process some 5 s after the close event (SetConsoleCtrlHandler,
    // CTRL_CLOSE_EVENT); time spent waiting for the replace's lock counts.
    EXPECT_EQ(close_wait_left(1000, 1000), 4500u);
    EXPECT_EQ(close_wait_left(1000, 3000), 2500u);
    EXPECT_EQ(close_wait_left(1000, 5500), 0u);
    EXPECT_EQ(close_wait_left(1000, 9000), 0u);
}

TEST(Windows, NameWithALoneSurrogateIsNotWrittenUnderAnother)
{
    // NTFS allows it; UTF-8 has no form for it. Refused, and no file is made
    // under the name with a replacement character instead.
    const scratch_folder dir;
    write_file(dir.path / L"in", plain);
    const auto before = entries(dir.path);
    const run_result r = run(L"in o\xD800 tarns encode", dir.path);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.out, "encoding...Error:Cannot open the destiny file:o\xEF\xBF\xBD");
    EXPECT_EQ(entries(dir.path), before);
    // Elsewhere: a mode is an unknown mode, a fifth argument is ignored, and
    // a password file's name is refused, not opened under another name.
    const run_result mode = run(L"in new tarns enc\xD800", dir.path);
    EXPECT_EQ(mode.status, 1u);
    EXPECT_EQ(mode.out, "Error:The mode must be encode or decode:enc\xEF\xBF\xBD");
    const run_result fifth = run(L"in new tarns encode x\xD800", dir.path);
    EXPECT_EQ(fifth.status, 0u);
    EXPECT_EQ(read_file(dir.path / L"new"), plain_encoded);
    write_file(dir.path / L"key\xFFFD", "tarns\n");
    SetEnvironmentVariableW(L"ZODEVIR_PASSWORD_FILE", L"key\xD800");
    const run_result file = run(L"in other \"\" encode", dir.path);
    SetEnvironmentVariableW(L"ZODEVIR_PASSWORD_FILE", nullptr);
    EXPECT_EQ(file.status, 1u);
    EXPECT_EQ(file.out, "Error:Cannot read the password file:ZODEVIR_PASSWORD_FILE");
}

TEST(Windows, PrefixedNamesReachTheFileSystemAsWritten)
{
    // \\?\ keeps a trailing dot or space, and a .. that is no folder's.
    const scratch_folder dir;
    write_file(dir.path / L"in", plain);
    const std::wstring prefixed = L"\\\\?\\" + dir.path.wstring() + L"\\";
    for (const std::wstring name : {L"out1.", L"out2 "}) {
        const run_result r = run(L"in \"" + prefixed + name + L"\" tarns encode", dir.path);
        EXPECT_EQ(r.status, 0u) << r.out;
        const auto names = entries(dir.path);
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end());
        EXPECT_EQ(std::find(names.begin(), names.end(), name.substr(0, 4)), names.end());
    }
    const run_result r = run(L"in \"" + prefixed + L"nosuch\\..\\out3\" tarns encode", dir.path);
    EXPECT_EQ(r.status, 1u);
    EXPECT_FALSE(fs::exists(dir.path / L"out3"));
}

TEST(Windows, NewFilesInheritOnlyWhatTheFolderHandsDownToFiles)
{
    // Where nothing is handed down to files, a new file gets the creator's
    // default DACL, as CreateFile gives it, not an empty one.
    alignas(DWORD) unsigned char buffer[256];
    auto* acl = reinterpret_cast<ACL*>(buffer);
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(
        AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    const struct {
        DWORD flags;  // of the folder's one ACE; ~0u: no ACE at all
        bool hands_down;
    } cases[] = {{~0u, false},
                 {0, false},
                 {CONTAINER_INHERIT_ACE, false},
                 {OBJECT_INHERIT_ACE, true},
                 {OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE("ACE flags " + std::to_string(c.flags));
        ASSERT_TRUE(InitializeAcl(acl, sizeof buffer, ACL_REVISION));
        if (c.flags != ~0u) {
            ASSERT_TRUE(AddAccessAllowedAceEx(acl, ACL_REVISION, c.flags, GENERIC_READ, everyone));
        }
        EXPECT_EQ(hands_down_to_files(acl), c.hands_down);
    }
    EXPECT_FALSE(hands_down_to_files(nullptr));
    FreeSid(everyone);
}

TEST(Windows, NamedPipeDestinationWithOutputToAFile)
{
    // Telling whether the destination is standard output must not take the
    // pipe's only connection.
    const scratch_folder dir;
    write_file(dir.path / L"in", plain);
    const std::wstring name =
        L"\\\\.\\pipe\\zodevir-test-" + std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                   4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    std::string received;
    std::thread server([&] {
        ConnectNamedPipe(pipe, nullptr);
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) {
            received.append(chunk, got);
        }
    });
    const run_result r = run(L"in " + name + L" tarns encode", dir.path, dir.path / L"console");
    if (r.status != 0) {
        // The run never connected: connect and leave, to end the server's wait.
        CloseHandle(
            CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    server.join();
    CloseHandle(pipe);
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(read_file(dir.path / L"console"), "encoding...\n");
    EXPECT_EQ(received, plain_encoded);
}

// wine formats the strings its traces could print (debugstr, as L"..." with
// backslashes doubled) into a buffer of its own even with tracing off: a
// copy there, after a doubled backslash or an opening L", is wine's, and
// Windows has none.
bool in_wine_trace_text(std::string_view seen, std::size_t at)
{
    static const bool wine =
        GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr;
    const std::string_view before = seen.substr(at > 96 ? at - 96 : 0, at > 96 ? 96 : at);
    return wine && (before.find("\\\\") != std::string_view::npos ||
                    (before.size() >= 2 && before.substr(before.size() - 2) == "L\""));
}

// Whether the process's readable memory holds text, as bytes or as UTF-16.
bool memory_holds(HANDLE process, const std::string& text)
{
    const std::wstring wide(text.begin(), text.end());
    const std::string forms[] = {
        text, std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2)};
    MEMORY_BASIC_INFORMATION region{};
    std::vector<char> chunk;
    for (char* at = nullptr; VirtualQueryEx(process, at, &region, sizeof region) == sizeof region;
         at = static_cast<char*>(region.BaseAddress) + region.RegionSize) {
        const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE;
        if (region.State != MEM_COMMIT || (region.Protect & readable) == 0 ||
            (region.Protect & PAGE_GUARD) != 0) {
            continue;
        }
        chunk.resize(region.RegionSize);
        SIZE_T got = 0;
        if (!ReadProcessMemory(process, region.BaseAddress, chunk.data(), chunk.size(), &got)) {
            continue;
        }
        const std::string_view seen(chunk.data(), got);
        for (const std::string& form : forms) {
            for (std::size_t f = seen.find(form); f != std::string_view::npos;
                 f = seen.find(form, f + 1)) {
                if (!in_wine_trace_text(seen, f)) {
                    return true;
                }
            }
        }
    }
    return false;
}

TEST(Windows, NoCopyOfThePasswordIsLeftOnceTheTableIsBuilt)
{
    // Read while the run waits on its source, a pipe: the command line's
    // copies (the run-time's _acmdln and _wcmdln among them) and the
    // environment's (_environ, __winitenv) hold the password no more.
    const struct {
        std::wstring password;                    // the argument
        std::string secret;                       // what must not be found
        std::wstring variable;                    // ZODEVIR_PASSWORD, when set
        std::wstring name = L"ZODEVIR_PASSWORD";  // in the letters it is set in
        std::wstring destination = L"out";
    } cases[] = {{L"Zs3cretPw", "Zs3cretPw", L""},
                 // The prompt form as PowerShell 5.1 passes it, typed as the
                 // README says ('""' or --%): the line "... out "" encode".
                 {L"\"\"", "Zs3cretEnv", L"Zs3cretEnv"},
                 {L"\"\"", "Zs3cretLow", L"Zs3cretLow", L"zodevir_password"},
                 // A fullwidth quote, which the ANSI copy of the line shows
                 // as a quote: that copy splits differently.
                 {L"Zs3cretFit", "Zs3cretFit", L"", L"ZODEVIR_PASSWORD", L"o\xFF02x"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secret);
        const scratch_folder dir;
        const std::wstring name =
            L"\\\\.\\pipe\\zodevir-secret-" + std::to_wstring(GetCurrentProcessId());
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND,
                                       PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
        SetEnvironmentVariableW(c.name.c_str(), c.variable.empty() ? nullptr : c.variable.c_str());
        run_result r;
        std::atomic<HANDLE> process{nullptr};
        std::thread runner([&] {
            r = run(name + L" " + c.destination + L" " + c.password + L" encode", dir.path,
                    dir.path / L"o", {}, &process);
        });
        ConnectNamedPipe(pipe, nullptr);
        SetEnvironmentVariableW(c.name.c_str(), nullptr);
        while (process.load() == nullptr) {
            Sleep(1);
        }
        EXPECT_FALSE(memory_holds(process.load(), c.secret));
        // The command line others read keeps its shape: blanked, not cut.
        if (c.destination == L"out" && c.variable.empty()) {
            EXPECT_TRUE(memory_holds(process.load(), "out" + std::string(11, ' ') + "encode"));
        }
        CloseHandle(process.load());
        CloseHandle(pipe);
        runner.join();
        EXPECT_EQ(r.status, 0u);
    }
}

TEST(Windows, PasswordIsFoundInTheCommandLineAsTheRunTimeSplitsIt)
{
    const struct {
        std::wstring before;    // the command line up to the password
        std::wstring password;  // as it stands in the line, quotes and all
    } cases[] = {
        {L"z.exe in out ", L"tarns"},
        {L"z.exe in out ", L"\"say \\\"hi\\\"\""},
        {L"z.exe in out ", L"pa\"ss wo\"rd"},
        {L"z.exe in out ", L"\"a b\\\\\""},
        {L"z.exe in out ", L"\"a\"\"b\"c d\""},
        {L"z.exe in out ", L"\"x\"\"y"},
        {L"z.exe encode encode ", L"encode"},
        {L"z.exe secret encode ", L"secret"},
        {L"\"C:\\Program Files\\z.exe\" in\tout  ", L"tarns"},
        {L"\"z.exe\"in out ", L"tarns"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.before + c.password));
        const std::wstring line = c.before + c.password + L" encode";
        std::size_t begin = 0;
        std::size_t end = 0;
        EXPECT_TRUE(argument_span(line.c_str(), 3, begin, end));
        EXPECT_EQ(begin, c.before.size()) << c.password.size();
        EXPECT_EQ(end, c.before.size() + c.password.size()) << c.password.size();
    }
    // The ANSI copy under code page 932: the second byte of 0x95 0x5C is no
    // backslash, so the quote after it ends the argument.
    const std::string line = "z.exe \"d\x95\\\" out Zs3cretPw encode";
    std::size_t begin = 0;
    std::size_t end = 0;
    EXPECT_TRUE(argument_span(line.c_str(), 3, begin, end, 932));
    EXPECT_EQ(line.substr(begin, end - begin), "Zs3cretPw");
}

TEST(Windows, BannerLinesEndWithCarriageReturnAndLineFeed)
{
    const scratch_folder dir;
    const run_result r = run(L"in out", dir.path);
    EXPECT_EQ(r.status, 1u);
    EXPECT_EQ(r.out.substr(0, 2), "\r\n");
    EXPECT_EQ(r.out.substr(r.out.size() - 57),
              "Example: zodevir.exe file1.txt newfile.txt tarns encode\r\n");
    for (std::size_t i = 0; i < r.out.size(); ++i) {
        if (r.out[i] == '\n') {
            EXPECT_TRUE(i > 0 && r.out[i - 1] == '\r') << "bare line feed at " << i;
        }
    }
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5);
    // --help points at what a Windows user has: the README in the zip.
    const run_result help = run(L"--help", dir.path);
    EXPECT_EQ(help.status, 0u);
    EXPECT_EQ(help.out.substr(help.out.size() - 49),
              "The whole manual: README.md, beside zodevir.exe\r\n");
}

}  // namespace
