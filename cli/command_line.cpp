#include "command_line.h"

command_line parse_command_line(int argc, char** argv)
{
    command_line line;
    if (argc < run_argument_count) {
        // Alone on the command line, as the usage banner says.
        const std::string_view first = argc == 2 ? argv[1] : "";
        line.asked = first == "--version" ? request::version
                     : first == "--help"  ? request::help
                                          : request::banner;
        return line;
    }
    line.asked = request::run;
    line.source = argv[argument_at::source];
    line.destination = argv[argument_at::destination];
    line.password = argv[argument_at::password];
    line.mode = argv[argument_at::mode];
    return line;
}
