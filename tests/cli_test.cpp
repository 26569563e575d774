// The command line as a person meets it: console text, exit status and the
// files a run leaves behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

#include "build_info.h"
#include "support.h"

namespace {

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    EXPECT_EQ(start, text.size()) << "text after the last newline";
    return lines;
}

TEST(Cli, TooFewArgumentsShowTheBannerAndTouchNothing)
{
    const scratch_folder dir;
    write_file(dir / "in", "data");
    const strings cases[] = {{}, {"in"}, {"in", "out"}, {"in", "out", "pw"}};
    for (const auto& args : cases) {
        run_options options;
        options.folder = dir.path;
        const run_result r = run_zodevir(args, options);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err, "");
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 5u) << r.out;
        EXPECT_EQ(lines[0], "");
        EXPECT_NE(lines[1].find(ZODEVIR_VERSION), std::string::npos) << lines[1];
        EXPECT_NE(lines[1].find(ZODEVIR_RELEASE_MONTH), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find(ZODEVIR_HOMEPAGE), std::string::npos) << lines[2];
        EXPECT_NE(lines[2].find(ZODEVIR_CONTACT_EMAIL), std::string::npos) << lines[2];
        EXPECT_EQ(lines[3], "Parameters: Original_file, destiny_file, password, encode|decode. ");
        EXPECT_EQ(lines[4], "Example: zodevir.exe file1.txt newfile.txt tarns encode");
        EXPECT_EQ(folder_entries(dir.path), strings{"in"});
    }
}

TEST(Cli, RefusesAnEmptyPasswordOrAnUnknownModeBeforeTouchingFiles)
{
    const struct {
        std::string password;
        std::string mode;
        std::string message;
    } cases[] = {
        {"", "encode", "Error:There is no terminal to ask for the password on"},
        {"", "bogus", "Error:The mode must be encode or decode:bogus"},
        {"pw", "Encode", "Error:The mode must be encode or decode:Encode"},
        {"pw", "ENCODE", "Error:The mode must be encode or decode:ENCODE"},
        {"pw", "Decode", "Error:The mode must be encode or decode:Decode"},
        {"pw", "", "Error:The mode must be encode or decode:"},
        {"pw", "encode ", "Error:The mode must be encode or decode:encode "},
        {"pw", "decoded", "Error:The mode must be encode or decode:decoded"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("password " + ::testing::PrintToString(c.password) + ", mode " +
                     ::testing::PrintToString(c.mode));
        const scratch_folder dir;
        write_file(dir / "in", "source");
        write_file(dir / "out", "old destination");
        const run_result r = run_zodevir({dir / "in", dir / "out", c.password, c.mode});
        EXPECT_EQ(r.exit_code, 1) << c.mode;
        EXPECT_EQ(r.out, c.message);
        EXPECT_EQ(read_file(dir / "out"), "old destination");
        EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));
    }
}

TEST(Cli, PasswordFromAFileOrTheEnvironmentWhenTheArgumentIsEmpty)
{
    // The file's first line, else the variable, else the terminal; a
    // non-empty argument always wins. Each source keeps the same rules.
    const scratch_folder dir;
    write_file(dir / "in", plain);
    const std::string file = "ZODEVIR_PASSWORD_FILE=" + dir / "pw";
    const struct {
        std::string name;
        std::string argument;
        std::string file_content;  // of pw, when file is named
        strings environment;
        std::string out;                 // what the run prints
        std::string password = "tarns";  // the one the output is encoded with
    } cases[] = {
        {"a file's first line, over the variable",
         "",
         "tarns\nsecond line",
         {file, "ZODEVIR_PASSWORD=wrong"},
         "encoding...\n"},
        {"a file's line ending in CRLF", "", "tarns\r\n", {file}, "encoding...\n"},
        {"a file without a line end", "", "tarns", {file}, "encoding...\n"},
        {"the variable", "", "", {"ZODEVIR_PASSWORD=tarns"}, "encoding...\n"},
        {"the argument, over a file and the variable",
         "tarns",
         "wrong\n",
         {file, "ZODEVIR_PASSWORD=wrong"},
         "encoding...\n"},
        {"a file whose first line is empty",
         "",
         "\nwrong",
         {file},
         "Error:The password must not be empty"},
        {"an empty variable",
         "",
         "",
         {"ZODEVIR_PASSWORD="},
         "Error:The password must not be empty"},
        {"a NUL byte in the file",
         "",
         std::string("ta\0rns\n", 7),
         {file},
         "Error:The password must not contain a NUL byte"},
        {"a line too long", "", std::string(4095, 'a'), {file}, "Error:The password is too long"},
        {"a line too long, with CRLF",
         "",
         std::string(4095, 'a') + "\r\n",
         {file},
         "Error:The password is too long"},
        {"a missing file",
         "",
         "",
         {"ZODEVIR_PASSWORD_FILE=" + dir / "missing"},
         "Error:Cannot read the password file:" + dir / "missing"},
        // Only \n or \r\n end a line: a lone \r at the end is the password's.
        {"a lone CR kept", "", "tarns\r", {file}, "encoding...\n", "tarns\r"},
        // A file that opens but cannot be read (memory at address 0).
        {"a file that cannot be read",
         "",
         "",
         {"ZODEVIR_PASSWORD_FILE=/proc/self/mem"},
         "Error:Cannot read the password file:/proc/self/mem"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir / "pw", c.file_content);
        unlink((dir / "out").c_str());
        run_options options;
        options.environment = c.environment;
        const run_result r = run_zodevir({dir / "in", dir / "out", c.argument, "encode"}, options);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.out == "encoding...\n" ? 0 : 1);
        EXPECT_EQ(read_file(dir / "out"),
                  r.exit_code == 0 ? expected_output(plain, c.password, cipher_mode::encode) : "");
    }
}

TEST(Cli, TheLongestPasswordInAFileEndsItsLineEitherWay)
{
    // 4094 bytes are the most a password may have; the line end is not
    // part of it, one byte or two.
    const scratch_folder dir;
    write_file(dir / "in", plain);
    const std::string longest(4094, 'p');
    std::string outputs[2];
    int i = 0;
    for (const char* end : {"\n", "\r\n"}) {
        SCOPED_TRACE(end[0] == '\n' ? "LF" : "CRLF");
        write_file(dir / "pw", longest + end);
        run_options options;
        options.environment = {"ZODEVIR_PASSWORD_FILE=" + dir / "pw"};
        const run_result r = run_zodevir({dir / "in", dir / "out", "", "encode"}, options);
        EXPECT_EQ(r.out, "encoding...\n");
        EXPECT_EQ(r.exit_code, 0);
        outputs[i++] = read_file(dir / "out");
    }
    // And the key is that of the 4094 bytes as an argument.
    const run_result r = run_zodevir({dir / "in", dir / "arg", longest, "encode"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(outputs[0], read_file(dir / "arg"));
    EXPECT_EQ(outputs[1], read_file(dir / "arg"));
}

TEST(Cli, PasswordFromAStreamLeavesWhatFollowsItsLine)
{
    // The password's line and the data after it on one stream, read by the
    // run as the password file and as the source: not a byte of the data
    // may go with the password, nor the password's line with the data. On
    // a pipe, and on a file (as a shell keeps a here-document).
    const scratch_folder dir;
    const std::string data = sample_bytes(20000, 3);
    write_file(dir / "data", data);
    write_file(dir / "combined", "tarns\r\n" + data);
    const std::string run = "ZODEVIR_PASSWORD_FILE=/dev/stdin '" ZODEVIR_BINARY "' /dev/stdin '" +
                            dir / "out" + "' '' encode > /dev/null";
    for (const std::string& command :
         {"{ printf 'tarns\\r\\n'; cat '" + dir / "data" + "'; } | " + run,
          run + " < '" + dir / "combined" + "'"}) {
        SCOPED_TRACE(command);
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(read_file(dir / "out"), expected_output(data, "tarns", cipher_mode::encode));
    }
}

TEST(Cli, FilesThatCannotBeOpened)
{
    const scratch_folder dir;
    write_file(dir / "in", "source");
    write_file(dir / "kept", "old destination");
    mkdir((dir / "folder").c_str(), 0755);
    const struct {
        std::string source;
        std::string target;
        std::string message;
    } cases[] = {
        {dir / "missing", dir / "out", "Error:Cannot open the source file:" + dir / "missing"},
        {dir / "missing", dir / "kept", "Error:Cannot open the source file:" + dir / "missing"},
        {dir / "folder", dir / "out", "Error:Cannot open the source file:" + dir / "folder"},
        {dir / "in", dir / "no/such/out",
         "Error:Cannot open the destiny file:" + dir / "no/such/out"},
        {dir / "in", dir / "folder", "Error:Cannot open the destiny file:" + dir / "folder"},
        {dir / "in", dir / "folder/", "Error:Cannot open the destiny file:" + dir / "folder/"},
        {dir / "in", dir / "in/x", "Error:Cannot open the destiny file:" + dir / "in/x"},
        {dir / "missing", dir / "no/out", "Error:Cannot open the source file:" + dir / "missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source + " to " + c.target);
        for (const std::string mode : {"encode", "decode"}) {
            const run_result r = run_zodevir({c.source, c.target, "pw", mode});
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_EQ(r.out, mode.substr(0, 6) == "encode" ? "encoding..." + c.message
                                                           : "decoding..." + c.message);
            EXPECT_EQ(read_file(dir / "kept"), "old destination");
            EXPECT_EQ(folder_entries(dir.path), (strings{"folder", "in", "kept"}));
        }
    }
}

TEST(Cli, EmptySourceGivesEmptyDestination)
{
    const scratch_folder dir;
    write_file(dir / "in", "");
    const run_result r = run_zodevir({dir / "in", dir / "out", "pw", "encode"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "encoding...\n");
    ASSERT_TRUE(path_exists(dir / "out"));
    EXPECT_EQ(read_file(dir / "out"), "");
}

TEST(Cli, EncodesAndDecodesByteForByte)
{
    std::string all_values;
    for (int round = 0; round < 5; ++round) {
        for (int b = 0; b < 256; ++b) {
            all_values.push_back(static_cast<char>(round % 2 == 0 ? b : 255 - b));
        }
    }
    const struct {
        std::string name;
        std::string data;
        std::string password;
    } cases[] = {
        {"one byte", "x", "tarns"},
        {"1025 bytes", std::string(1025, 'A'), "tarns"},
        {"every byte value", all_values, "s\xe9same \xff\x80"},
        {"several blocks", sample_bytes(3 * 1024 * 1024 + 77), "long password of many words"},
        {"two-byte password", sample_bytes(5000), "ab"},
        {"one-byte password", sample_bytes(5000), "\xc3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const scratch_folder dir;
        write_file(dir / "plain", c.data);
        const run_result enc = run_zodevir({dir / "plain", dir / "enc", c.password, "encode"});
        EXPECT_EQ(enc.exit_code, 0) << c.name;
        EXPECT_EQ(enc.out, "encoding...\n");
        const std::string encoded = read_file(dir / "enc");
        EXPECT_EQ(encoded, expected_output(c.data, c.password, cipher_mode::encode)) << c.name;

        const run_result dec = run_zodevir({dir / "enc", dir / "back", c.password, "decode"});
        EXPECT_EQ(dec.exit_code, 0) << c.name;
        EXPECT_EQ(dec.out, "decoding...\n");
        EXPECT_EQ(read_file(dir / "back"), c.data) << c.name;

        // Decoding first and encoding the result restores the source as well.
        EXPECT_EQ(run_zodevir({dir / "plain", dir / "d", c.password, "decode"}).exit_code, 0);
        EXPECT_EQ(run_zodevir({dir / "d", dir / "de", c.password, "encode"}).exit_code, 0);
        EXPECT_EQ(read_file(dir / "de"), c.data) << c.name;
    }
}

TEST(Cli, PositionsOneKeyPeriodApartShareTheirKey)
{
    const scratch_folder dir;
    write_file(dir / "in", std::string(1025, '\x5a'));
    ASSERT_EQ(run_zodevir({dir / "in", dir / "out", "tarns", "encode"}).exit_code, 0);
    const std::string out = read_file(dir / "out");
    ASSERT_EQ(out.size(), 1025u);
    EXPECT_EQ(out[1024], out[0]);
    EXPECT_EQ(out[0], static_cast<char>(0x5a ^ 32));  // slot 0 of "tarns" is 32, an XOR key
}

TEST(Cli, ArgumentsAfterTheFourthAreIgnored)
{
    const scratch_folder dir;
    write_file(dir / "in", sample_bytes(4000));
    ASSERT_EQ(run_zodevir({dir / "in", dir / "four", "pw", "encode"}).exit_code, 0);
    const run_result r =
        run_zodevir({dir / "in", dir / "six", "pw", "encode", "decode", dir / "in"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "encoding...\n");
    EXPECT_EQ(read_file(dir / "six"), read_file(dir / "four"));
    EXPECT_EQ(read_file(dir / "in"), sample_bytes(4000));
}

TEST(Cli, RelativePathsAreTakenFromTheWorkingFolder)
{
    const scratch_folder dir;
    write_file(dir / "in", "relative");
    run_options options;
    options.folder = dir.path;
    const run_result r = run_zodevir({"in", "out", "pw", "encode"}, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(read_file(dir / "out"), expected_output("relative", "pw", cipher_mode::encode));
    EXPECT_EQ(folder_entries(dir.path), (strings{"in", "out"}));
}

}  // namespace
