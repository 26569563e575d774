// zodevir.exe as a Windows user meets it: started with CreateProcessW, its
// output read from a pipe, its files checked with Windows' own calls.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "known_answers.h"

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

// Runs zodevir.exe with the given command line tail in folder.
run_result run(const std::wstring& arguments, const fs::path& folder)
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
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    std::wstring command = L"\"" + zodevir_exe().wstring() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        folder.c_str(), &startup, &process);
    EXPECT_TRUE(started) << GetLastError();
    CloseHandle(write_end);
    CloseHandle(null);
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

// A fresh folder under the temporary folder, removed at the end.
struct scratch_folder {
    scratch_folder()
    {
        path =
            fs::temp_directory_path() / (L"zodevir-test-" + std::to_wstring(GetCurrentProcessId()) +
                                         L"-" + std::to_wstring(counter++));
        fs::remove_all(path);
        fs::create_directories(path / L"sub");
    }
    ~scratch_folder()
    {
        for (const auto& entry : fs::recursive_directory_iterator(path)) {
            SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
        }
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    static inline int counter = 0;
    fs::path path;
};

TEST(Windows, RunsAsOnLinux)
{
    const std::wstring unicode = L"f\u00efl\u00e9-\u03a9-\U0001F600.txt";
    const struct {
        const char* name;
        std::wstring source;  // written with plain text first
        std::wstring target;  // "out" starts as "old"; "ro" as "old", read-only
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
        {"password outside the code page", L"in", L"new", L"pass\U0001F600", 1,
         "Error:The password cannot be represented in the system code page", L""},
    };
    for (const auto& c : cases) {
        const scratch_folder dir;
        write_file(dir.path / L"in", plain);
        write_file(dir.path / unicode, plain);
        write_file(dir.path / L"out", "old");
        write_file(dir.path / L"ro", "old");
        SetFileAttributesW((dir.path / L"ro").c_str(), FILE_ATTRIBUTE_READONLY);
        const auto before = entries(dir.path);

        const run_result r =
            run(L"\"" + c.source + L"\" \"" + c.target + L"\" \"" + c.password + L"\" encode",
                dir.path);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        if (!c.written.empty()) {
            EXPECT_EQ(read_file(dir.path / c.written), plain_encoded) << c.name;
        } else {
            EXPECT_EQ(entries(dir.path), before) << c.name;
            EXPECT_EQ(read_file(dir.path / L"ro"), "old") << c.name;
        }
        for (const auto& name : entries(dir.path)) {
            EXPECT_NE(name.rfind(L".zodevir-", 0), 0u) << c.name << ": a temporary file is left";
        }
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
}

}  // namespace
