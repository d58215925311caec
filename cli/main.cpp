// tniff: a command-line host of the TarnIFF format module. It opens, saves and inspects images in
// the module's format through the module's ENTRYPOINT, loaded from the module file as an image
// editor loads it, and converts them to and from PNG, Netpbm and TIFF.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/commands.h"
#include "cli/system.h"
#include "cli/worker_pool.h"
#include "tarniff/tarniff.h"

using tarniff::kExitUsage;
using tniff_cli::Options;
using ToolError = tarniff::Error;

namespace {

// The help texts, laid out as they print (within 100 columns, with the escapes), but for the lists
// of kinds of file, which come from the library's rows (Expanded): @OTHER_EXTENSIONS@, every
// kind's extension but this format's; @KIND_NAMES@, the type names; @KIND_TABLE@, a line a kind;
// @MODULE_BESIDE@, where the module is looked for on this system.
// A kind added may need a line broken anew; the help test checks the width.
// clang-format off
const char kUsage[] =
    "usage: tniff [--module PATH] [--quiet] [--max-image-size N] COMMAND ...\n"
    "\n"
    "Opens, saves and inspects .iff images (\"FOR4\"/\"CIMG\" with \"RGBA\" and \"ZBUF\" tiles) through\n"
    "the TarnIFF format module, loaded as an image editor loads it.\n"
    "\n"
    "commands:\n"
    "  convert IN OUT     convert between .iff and @OTHER_EXTENSIONS@\n"
    "  convert IN... --to TYPE [-o DIR]\n"
    "                     convert many files, several at once\n"
    "  info FILE...       what the module reads from each file, and the file's layout\n"
    "  about              the module's About box and what the module does\n"
    "  help [COMMAND]     this text, or a command's\n"
    "\n"
    "options:\n"
    "  --module PATH      load this module file; without it, the one $TNIFF_MODULE names, else\n"
    "                     @MODULE_BESIDE@\n"
    "  -q, --quiet        no progress bar and no notes on stderr\n"
    "  --max-image-size N the largest image an open of any input may make, in bytes (suffixes K,\n"
    "                     M, G); by default half the machine's memory, at least 1G\n"
    "  -h, --help         help; after a command, that command's help\n"
    "  --version          tniff's version and the module's\n"
    "\n"
    "Exit status: 0 success, 1 a failed command, 2 a command line tniff does not understand.\n";

const char kConvertUsage[] =
    "usage: tniff convert [--depth DEPTH.png] [--raw-depth Z.tif [--float-depth]] [--partial]\n"
    "                     [--png-level N] [--rgb] IN OUT\n"
    "       tniff convert [--depth DEPTH.png] [--partial] [--png-level N] --to TYPE IN - | - OUT | -\n"
    "       tniff convert [--depth] [--raw-depth] [--partial] [--png-level N] [-o DIR] [-j N]\n"
    "                     [--overwrite | -u]\n"
    "                     [--stop-on-error] [--dry-run] [--verbose] [--frames LIST] --to TYPE IN...\n"
    "       tniff convert [options as above] [--frames LIST] IN-PATTERN OUT-PATTERN\n"
    "\n"
    "Converts IN to OUT; each file's type comes from its extension:\n"
    "@KIND_TABLE@"
    "One of them must be an .iff file. An input is read as what its first bytes say where they say\n"
    "one of these (a note says so when its name says otherwise); a name without an extension is\n"
    "fine.\n"
    "IN may be - (standard input, its type from its first bytes) and OUT - (standard output, its\n"
    "type from --to); - alone is both. Netpbm files of any MAXVAL up to 65535 are read, 16-bit\n"
    "samples scaled to 8 bits as for 16-bit PNG files.\n"
    "\n"
    "  .iff to .pam   every plane the module gives: gray or red, green, blue; then alpha; then\n"
    "                 depth. Pixels that no tile reached are 0.\n"
    "  .iff to .png   the colour image, with alpha when the file has alpha.\n"
    "  .iff to .iff   the colour image saved again by the module (which writes no depth buffer).\n"
    "  .png to .iff   gray, gray and alpha, RGB or RGBA: 1 to 4 planes; 16-bit samples are scaled\n"
    "                 to 8 bits, palette and low-bit images expanded.\n"
    "  .pam to .iff   DEPTH 1 and 2 as a grayscale image, 3 to 5 as an RGB image of that many\n"
    "                 planes (the module stores the second or fourth as alpha and drops a fifth).\n"
    "  .iff to .pgm/.ppm  the colour image without alpha (a PGM only of a gray image).\n"
    "  .iff to .tiff  the colour image as 8-bit gray or RGB, alpha as an unassociated extra sample,\n"
    "                 deflate-compressed, with the file's resolution.\n"
    "  A file that holds only a depth buffer goes to every type but .pam as a gray image of its\n"
    "  depth (near is dark), with a note.\n"
    "  .tiff to .iff  the first image: gray, RGB or palette of 1 to 16 bits, in strips or tiles,\n"
    "                 interleaved or in planes; 16-bit samples scaled to 8 bits as for PNG, the\n"
    "                 first extra sample as alpha (premultiplied alpha made straight).\n"
    "\n"
    "options:\n"
    "  --depth FILE   also write the file's depth buffer as an 8-bit gray image, of any type but\n"
    "                 .iff: @OTHER_EXTENSIONS@; a file without one gets its colour image,\n"
    "                 a note and no FILE\n"
    "  --raw-depth Z.tif  also write the depth values as the file stores them, unscaled,\n"
    "                 as a 32-bit TIFF: the values and a coverage mask as alpha (0 where a\n"
    "                 pixel has no depth); decoded by tniff itself, not by the module\n"
    "  --float-depth  with --raw-depth: the stored bits as 32-bit floats, as renderers write\n"
    "                 them (the mask 1.0 or 0.0); without it unsigned 32-bit integers\n"
    "  --partial      convert a file that ends before its last tiles, or whose tiles do not\n"
    "                 cover the image (the rest is 0)\n"
    "  --to TYPE      OUT's type, with - as IN or OUT: @KIND_NAMES@ (needed for\n"
    "                 OUT -). With files named and no -, --to means many files (below)\n"
    "  --png-level N  zlib level of PNG output, 0 (none, fastest) to 9 (smallest); default 3\n"
    "  --rgb          a gray image (stored as three equal channels) stays RGB in PNG and TIFF\n"
    "                 output; without it such an image is written gray\n"
    "  -f, --force    write an image to standard output even when it is a terminal\n"
    "\n"
    "OUT is written under a temporary name beside it (.OUT.tniff-TAG-PID-XXXXXX: TAG names the\n"
    "machine and PID namespace, PID the process) and renamed only when complete: a failed\n"
    "conversion leaves no partial OUT and keeps an existing OUT as it was. An OUT that is a\n"
    "symbolic link replaces the link's target (not a link of another user in a sticky folder such\n"
    "as /tmp); a replaced file keeps its mode. An OUT that is a FIFO or a character device\n"
    "(/dev/null) is written into once the file is complete; a block device or a socket is\n"
    "refused. An IN that is not a regular file is refused unopened. No output may be the input or\n"
    "another output of the same command. A temporary file is removed as left over only when it\n"
    "is yours, unlocked, and either this machine's and namespace's with its process gone, or\n"
    "older than a day (another machine's process ids mean nothing here).\n"
    "\n"
    "Many files: each IN is converted to a file of the same base name with TYPE's extension\n"
    "(frame.0001.iff to frame.0001.png), in DIR (made if missing) or else beside IN. This form is\n"
    "meant whenever --to is given and no - is named, with one file, two or more (frame.0001.iff\n"
    "frame.0002.iff --to iff are two inputs, never IN and OUT), and when -o, -j, --overwrite or\n"
    "--stop-on-error is given or there are more than two files. A file whose output would\n"
    "replace an input is refused: to convert to the same type, write into a folder with -o.\n"
    "--depth then takes no file: each depth buffer goes beside its output, \"_depth\" before the\n"
    "frame number (the last digits of the name, after '.' or '_'): frame.1001.png gets\n"
    "frame_depth.1001.png, shot_0042.tif shot_depth_0042.tif, plate.png plate_depth.png. It is a\n"
    "TIFF for --to tif and tiff (of their extension: --to tif writes .tif), else a PNG.\n"
    "--raw-depth takes no file either: frame_rawdepth.1001.tif beside frame.1001.png.\n"
    "Each file is converted as IN OUT converts it, N at once (-j, default: one for each core),\n"
    "with one progress bar for the whole batch.\n"
    "\n"
    "  -o DIR           write the outputs into DIR\n"
    "  -j N             convert N files at once\n"
    "  --overwrite      replace outputs that are there already; without it they are skipped, so\n"
    "                   running an interrupted batch again finishes it\n"
    "  -u, --update     redo an output older than its input (or whose depth file is), as cp -u\n"
    "                   and make do; skip the others as up to date\n"
    "  --frames LIST    the frames of each frame pattern: 1001-1120, 1001-1120x2 (every second),\n"
    "                   1001,1005-1010; without it the frames that are there\n"
    "  --stop-on-error  convert no more files after the first that fails; without it a failed\n"
    "                   file is reported on a line of its own and the others are converted\n"
    "  --dry-run        list on stdout what would be converted (\"update\": redone by --update),\n"
    "                   refused and skipped; write nothing\n"
    "  -v, --verbose    a line on stderr for every file converted\n"
    "\n"
    "A file named twice is converted once. With --depth, a file without a depth buffer gets its\n"
    "colour image and a note. At the end a line says how many files were converted, failed and\n"
    "skipped (not with --quiet), also when the batch is interrupted (Ctrl-C, SIGTERM); the exit\n"
    "status is 1 when any file failed. No output is ever left half written; the temporary files\n"
    "that killed runs left in the output folders are removed when the batch starts, as above.\n"
    "\n"
    "Frame patterns: an IN of frame.####.iff (one # per digit, at least: frame 12345 is\n"
    "frame.12345.iff) or frame.%04d.iff stands for its frames, those --frames names or else those\n"
    "that are there. A frame of --frames that is missing fails, all on one line: \"frame.####.iff:\n"
    "missing frames: 1035, 1040-1042\". Each output has the frame's name with TYPE's extension (in\n"
    "DIR with -o), or the name OUT-PATTERN gives it (its type from its extension, its folder made\n"
    "if missing): tniff convert 'r/frame.####.iff' 'png/frame.####.png' --frames 1001-1120.\n"
    "A name that is an existing file is that file, never a pattern; quote patterns for the shell.\n";

const char kInfoUsage[] =
    "usage: tniff info [--json | --brief] [--frames LIST] FILE...\n"
    "\n"
    "FILE may be - (standard input, called stdin). For each file: what the module tells the host\n"
    "(size, mode, planes with the depth plane named, resolution) and whether it delivered every\n"
    "tile; then the file's layout: its header values, its chunks, every tile with its rectangle\n"
    "(x1..x2, y1..y2, rows counted from the bottom), kind and form (raw or compressed), and the\n"
    "overall compression.\n"
    "tniff reads the layout itself, in one pass over the file. A damaged file (cut short,\n"
    "tiles missing or too few to cover the image, a size or rectangle that does not fit) is\n"
    "listed up to the damage, then a line says where and why the walk stops; also when the\n"
    "module refuses the file. A compressed tile whose run stream does not fill its planes is\n"
    "damaged: a \"damaged\" line names it (bytes left after its last plane are named, no damage).\n"
    "\n"
    "options:\n"
    "  --json         the same as a JSON array with one object per file, in the order named;\n"
    "                 always valid UTF-8: a byte of a name or message that is not part of a\n"
    "                 UTF-8 character (a Latin-1 file name) is written as U+FFFD, \"\\ufffd\"\n"
    "                 (a damaged file's object has \"damage\": offset, chunk, groups and\n"
    "                 reason; damaged tiles are in \"damagedTiles\")\n"
    "  --brief        one line per file from tniff's own walk, without the module: size,\n"
    "                 planes, depth or not, tiles complete, INCOMPLETE or DAMAGED (then why);\n"
    "                 a file that cannot be read gets its line too, with the reason\n"
    "  --frames LIST  the frames of each frame pattern (frame.####.iff, frame.%04d.iff):\n"
    "                 1001-1120, 1001-1120x2, 1001,1005-1010; a missing one is listed in its\n"
    "                 place. Without it a pattern takes the frames that are there\n"
    "\n"
    "With more than one file or a pattern, a last line on stderr counts the files: whole,\n"
    "damaged (a damaged tile, or something other than these is wrong), incomplete (cut short, tiles missing or\n"
    "pixels uncovered), missing, and not readable when there are such (not with --quiet, nor\n"
    "with --json, where a missing file is an object with its error).\n"
    "\n"
    "Exit status: 0 every file opens whole; 1 a file does not (damaged, cut short, tiles\n"
    "missing, refused by the module, or not readable); 2 a command line tniff does not\n"
    "understand.\n";

const char kAboutUsage[] =
    "usage: tniff about\n"
    "\n"
    "Calls the module's About selector and shows what it showed, with the module file's path and\n"
    "what the module reads and writes.\n";

// clang-format on

// Where tniff finds its module without being told, as the help says it.
#ifdef _WIN32
const char kModuleBeside[] = "TnIffFormat.8bi beside tniff.exe";
#else
const char kModuleBeside[] = "TnIffFormat.so beside tniff (or in ../lib/tniff relative to it)";
#endif

// A help text with its lists of kinds filled in from the library's rows.
std::string Expanded(const char* text) {
    std::string table;
    for (const tarniff::KindRow& row : tarniff::KindRows()) {
        std::string extensions;
        for (std::string_view extension : row.extensions)
            extensions += (extensions.empty() ? "" : ", ") + std::string(extension);
        char line[128];
        std::snprintf(line, sizeof line, "  %-13s %s\n", extensions.c_str(), row.about);
        table += line;
    }
    const std::pair<const char*, std::string> fields[] = {
        {"@OTHER_EXTENSIONS@", tarniff::OtherExtensions()},
        {"@KIND_NAMES@", tarniff::KindNames()},
        {"@KIND_TABLE@", table},
        {"@MODULE_BESIDE@", kModuleBeside},
    };
    std::string expanded = text;
    for (const auto& field : fields) {
        const std::string name = field.first;
        for (size_t at = expanded.find(name); at != std::string::npos;
             at = expanded.find(name, at + field.second.size()))
            expanded.replace(at, name.size(), field.second);
    }
    return expanded;
}

// The help text of a command; "" for an unknown one.
std::string UsageOf(const std::string& command) {
    if (command == "convert") return Expanded(kConvertUsage);
    if (command == "info") return Expanded(kInfoUsage);
    if (command == "about") return Expanded(kAboutUsage);
    return "";
}

// A byte count: digits and an optional K, M or G (binary multiples, "MiB" and "MB" alike).
uint64_t ParseSize(const std::string& text) {
    size_t digits = 0;
    uint64_t value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 15) {
        value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
        ++digits;
    }
    std::string unit = text.substr(digits);
    for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    int shift = -1;
    if (unit.empty() || unit == "B")
        shift = 0;
    else if (unit == "K" || unit == "KB" || unit == "KIB")
        shift = 10;
    else if (unit == "M" || unit == "MB" || unit == "MIB")
        shift = 20;
    else if (unit == "G" || unit == "GB" || unit == "GIB")
        shift = 30;
    if (digits == 0 || shift < 0 || value == 0) {
        throw ToolError(
            "--max-image-size takes a size in bytes such as 4G or 3000M, not \"" + text + "\"",
            kExitUsage);
    }
    return value << shift;
}

// Gives the exit status: 1 when no module is found.
int PrintVersion(const Options& options) {
    std::printf("tniff %s\n", TNIFF_VERSION);
    try {
        std::string path = tniff_cli::ToolModulePath(options);
        // The module's own path, not the way there (/usr/bin/../lib/tniff/...).
        path = tniff_cli::RealPath(path);
        std::string version = tarniff::ModuleVersion(path);
        std::printf("module %s %s\n", version.empty() ? "(version unknown)" : version.c_str(),
                    path.c_str());
        return 0;
    } catch (const ToolError& error) {
        std::printf("module not found: %s\n", error.what());
        return tarniff::kExitFailure;
    }
}

// How an option takes its value: none; the next argument or "=VALUE" (or, for a short option,
// the rest of the argument: -j4); or a file that follows unless an option or nothing does.
enum class Takes { nothing, value, optionalFile };

struct OptionRule {
    const char* names[2];  // the short or long spellings; a second may be null
    const char* command;   // the command it belongs to; null: before or after any command
    Takes takes;
    void (*apply)(Options* options, const std::string& value);
};

int JobsFrom(const std::string& text) {
    int jobs = 0;
    for (char c : text) jobs = c >= '0' && c <= '9' && jobs < 10000 ? jobs * 10 + (c - '0') : -1;
    if (text.empty() || jobs < 1) {
        throw ToolError(
            "-j takes how many files to convert at once, 1 or more, not \"" + text + "\"",
            kExitUsage);
    }
    return jobs;
}

const OptionRule kOptions[] = {
    {{"--module", nullptr},
     nullptr,
     Takes::value,
     [](Options* o, const std::string& v) { o->modulePath = v; }},
    {{"-q", "--quiet"},
     nullptr,
     Takes::nothing,
     [](Options* o, const std::string&) { o->quiet = true; }},
    {{"--max-image-size", nullptr},
     nullptr,
     Takes::value,
     [](Options* o, const std::string& v) { o->maxImageBytes = ParseSize(v); }},
    {{"--depth", nullptr},
     "convert",
     Takes::optionalFile,
     [](Options* o, const std::string& v) {
         o->depthGiven = true;
         o->depthPath = v;
         o->depthOperandAt = o->optionalFileAt;
     }},
    {{"--raw-depth", nullptr},
     "convert",
     Takes::optionalFile,
     [](Options* o, const std::string& v) {
         o->rawDepthGiven = true;
         o->rawDepthPath = v;
         o->rawDepthOperandAt = o->optionalFileAt;
     }},
    {{"--float-depth", nullptr},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->floatDepth = true; }},
    {{"--partial", nullptr},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->partial = true; }},
    {{"--rgb", nullptr},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->keepRgb = true; }},
    {{"-f", "--force"},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->force = true; }},
    {{"--to", nullptr},
     "convert",
     Takes::value,
     [](Options* o, const std::string& v) { o->to = v; }},
    {{"--png-level", nullptr},
     "convert",
     Takes::value,
     [](Options* o, const std::string& v) {
         if (v.size() != 1 || v[0] < '0' || v[0] > '9') {
             throw ToolError("--png-level takes 0 to 9, not \"" + v + "\"", kExitUsage);
         }
         o->pngLevel = v[0] - '0';
     }},
    {{"-o", nullptr},
     "convert",
     Takes::value,
     [](Options* o, const std::string& v) {
         if (v.empty()) throw ToolError("-o needs a folder", kExitUsage);
         o->outputDirectory = v;
     }},
    {{"-j", "--jobs"},
     "convert",
     Takes::value,
     [](Options* o, const std::string& v) { o->jobs = JobsFrom(v); }},
    {{"--overwrite", nullptr},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->overwrite = true; }},
    {{"-u", "--update"},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->update = true; }},
    {{"--frames", nullptr},
     "convert",
     Takes::value,
     [](Options* o, const std::string& v) {
         o->framesGiven = true;
         o->frames = v;
     }},
    {{"--frames", nullptr},
     "info",
     Takes::value,
     [](Options* o, const std::string& v) {
         o->framesGiven = true;
         o->frames = v;
     }},
    {{"--stop-on-error", nullptr},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->stopOnError = true; }},
    {{"--dry-run", nullptr},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->dryRun = true; }},
    {{"-v", "--verbose"},
     "convert",
     Takes::nothing,
     [](Options* o, const std::string&) { o->verbose = true; }},
    {{"--json", nullptr},
     "info",
     Takes::nothing,
     [](Options* o, const std::string&) { o->json = true; }},
    {{"--brief", nullptr},
     "info",
     Takes::nothing,
     [](Options* o, const std::string&) { o->brief = true; }},
};

// The option argument names, and its value when the argument carries one ("--to=png", "-j4").
const OptionRule* FindOption(const std::string& argument, const std::string& command,
                             std::string* attached, bool* hasAttached) {
    for (const OptionRule& rule : kOptions) {
        if (rule.command != nullptr && command != rule.command) continue;
        for (const char* name : rule.names) {
            if (name == nullptr) continue;
            const std::string n = name;
            *hasAttached = false;
            if (argument == n) return &rule;
            if (rule.takes == Takes::nothing || argument.compare(0, n.size(), n) != 0) continue;
            const bool isLong = n.size() > 2;
            if (isLong && argument[n.size()] != '=') continue;
            *attached = argument.substr(n.size() + (isLong ? 1 : 0));
            *hasAttached = true;
            return &rule;
        }
    }
    return nullptr;
}

// Parses the command line into command and options; gives false for help or version requests,
// which it answers itself (status in *status).
bool Parse(const std::vector<std::string>& arguments, std::string* command, Options* options,
           int* status) {
    bool help = false;
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            if (command->empty())
                *command = argument;
            else
                options->files.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            help = true;
            continue;
        }
        if (argument == "--version") {
            *status = PrintVersion(*options);
            return false;
        }
        std::string value;
        bool attached = false;
        const OptionRule* rule = FindOption(argument, *command, &value, &attached);
        if (rule == nullptr) {
            std::string where = command->empty() ? "tniff" : "tniff " + *command;
            throw ToolError("unknown option " + argument + " (see " + where + " --help)",
                            kExitUsage);
        }
        options->optionalFileAt = SIZE_MAX;
        if (!attached && rule->takes == Takes::value) {
            if (i + 1 >= arguments.size()) throw ToolError(argument + " needs a value", kExitUsage);
            value = arguments[++i];
        } else if (!attached && rule->takes == Takes::optionalFile) {
            // A file follows, unless what follows is an option or nothing (many files: no file);
            // where it stood among the operands is kept, since with many files it is one more.
            const bool file =
                i + 1 < arguments.size() &&
                (arguments[i + 1] == "-" || arguments[i + 1].empty() || arguments[i + 1][0] != '-');
            if (file) {
                options->optionalFileAt = options->files.size();
                value = arguments[++i];
            }
        }
        rule->apply(options, value);
    }
    if (*command == "help") {
        help = true;
        *command = options->files.empty() ? "" : options->files[0];
    }
    if (help) {
        const std::string usage = command->empty() ? Expanded(kUsage) : UsageOf(*command);
        if (usage.empty())
            throw ToolError("unknown command \"" + *command + "\" (see tniff --help)", kExitUsage);
        std::fputs(usage.c_str(), stdout);
        *status = 0;
        return false;
    }
    if (command->empty()) {
        std::fputs(Expanded(kUsage).c_str(), stderr);
        *status = kExitUsage;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // tniff owns its signals: Ctrl-C, SIGTERM, SIGHUP and a closed pipe remove the temporary
    // files of the outputs and of standard input on the way out.
    tarniff::RemoveTemporariesOnSignals();
    std::vector<std::string> arguments = tniff_cli::ProgramArguments(argc, argv);
    tniff_cli::RememberArguments(arguments);
    // A batch's worker, where workers are started as programs of their own: the batch's command
    // line after the switch, and its files handed over one by one.
    const bool worker = !arguments.empty() && arguments[0] == tniff_cli::kWorkerSwitch;
    if (worker) arguments.erase(arguments.begin());
    try {
        std::string command;
        Options options;
        int status = 0;
        if (!Parse(arguments, &command, &options, &status)) return status;
        if (worker) {
            // The batch has removed the output folders' leftovers before it started any worker.
            options.leftoversGone = true;
            const tarniff::ModuleFile module = tniff_cli::LoadToolModule(options);
            tniff_cli::Channel jobs = tniff_cli::kNoChannel, results = tniff_cli::kNoChannel;
            tniff_cli::TakeWorkerChannels(&jobs, &results);
            tniff_cli::ServeJobs(options, module, jobs, results);
            return 0;
        }
        if (command == "convert") return tniff_cli::RunConvert(options);
        if (command == "info") return tniff_cli::RunInfo(options);
        if (command == "about") return tniff_cli::RunAbout(options);
        throw ToolError("unknown command \"" + command + "\" (see tniff --help)", kExitUsage);
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "tniff: %s\n", error.what());
        return error.status();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tniff: not enough memory\n");
        return tarniff::kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tniff: %s\n", error.what());
        return tarniff::kExitFailure;
    }
}
