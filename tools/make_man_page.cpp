// Writes the manual page orvandel.1 (man(7) roff) to the path given. Its
// OPTIONS section comes from the option table the parser and --help read, and
// its version is the build's, so the page cannot drift from the tool. Run by
// the build; not installed.
#include <cstdio>
#include <memory>
#include <string>

#include "cli/options.h"
#include "picture/image.h"

using namespace orvandel;

namespace {

// Text as roff shows it literally: backslashes and minus signs escaped, and
// a line never starting with a control character.
std::string roff(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if ((i == 0 || text[i - 1] == '\n') && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
    }
    return out;
}

// "\fB\-l\fR, \fB\-\-layout\fR \fIrip|mip\fR", with any other spellings of
// the same option after it.
std::string option_heading(const OptionTable& table, const OptionInfo* option) {
    std::string heading;
    if (option->short_name) heading += "\\fB\\-" + std::string(1, option->short_name) + "\\fR, ";
    heading += "\\fB\\-\\-" + roff(option->long_name) + "\\fR";
    for (const OptionInfo* other = option + 1; other != table.end() && !other->help; ++other)
        heading += ", \\fB\\-\\-" + roff(other->long_name) + "\\fR";
    if (option->value) heading += " \\fI" + roff(option->value) + "\\fR";
    return heading;
}

std::string options_section() {
    std::string out = ".SH OPTIONS\n";
    const OptionTable table = modern_option_table();
    for (const OptionInfo* option = table.begin(); option != table.end(); ++option) {
        if (!option->help) continue;  // listed with the entry before it
        std::string help = *option->detail ? option->detail : option->help;
        for (char& c : help)
            if (c == '\n') c = ' ';
        out += ".TP\n" + option_heading(table, option) + "\n" + roff(help) + "\n";
    }
    return out;
}

std::string page(const std::string& version) {
    return ".TH ORVANDEL 1 \"\" \"orvandel " + roff(version) + "\" \"User Commands\"\n"
           ".SH NAME\n"
           "orvandel \\- build mip\\-map atlases and mip chains of textures\n"
           ".SH SYNOPSIS\n"
           ".B orvandel\n"
           ".I texture\n"
           ".RI [ ord ]\n"
           ".br\n"
           ".B orvandel\n"
           ".I option\n"
           ".RI [ option ...]\n"
           ".IR texture ...\n"
           ".SH DESCRIPTION\n"
           "Orvandel reads a texture (BMP, PCX, GIF, TGA, PNG or JPEG) and writes beside it one file holding\n"
           "the picture and its halved copies.\n"
           ".PP\n"
           "The classic run takes one texture as its first argument and writes\n"
           ".IR name _mip.bmp,\n"
           "an uncompressed 24\\-bit BMP: the bi\\-directional atlas, a grid twice as wide and twice as high as\n"
           "the source holding every combination of separate horizontal and vertical halvings; with any second\n"
           "argument, the ordinary atlas, a strip of successive halvings twice as wide as the source. It prints\n"
           "its progress and waits for Enter on standard input before it ends.\n"
           ".PP\n"
           "When the first argument starts with\n"
           ".BR \\- ,\n"
           "the modern run takes options and any number of textures, processes them on a pool of threads,\n"
           "keeps alpha, filters in linear light and writes BMP, PNG or DDS files named\n"
           ".IR name _mip. format ,\n"
           "beside each input or in the output directory. It never waits for a key. Each texture written\n"
           "gives one line on standard output, each failure one line on standard error; the run goes on with\n"
           "the other textures. Two inputs that would write the same output are refused before anything runs.\n"
           "Options may come before, between or after the textures; long options may be shortened to any\n"
           "unambiguous beginning, and\n"
           ".B \\-\\-\n"
           "ends the options.\n"
           ".PP\n"
           "The format of a texture is recognised by its first bytes, never by its name. Every output is\n"
           "written whole or not at all: an earlier file of the same name stays as it was until the new one is\n"
           "complete.\n" +
           options_section() +
           ".SH ENVIRONMENT\n"
           ".TP\n"
           ".B ORVANDEL_ISA\n"
           "One of\n"
           ".BR scalar ,\n"
           ".BR sse2 ,\n"
           ".BR ssse3 ,\n"
           ".B avx2\n"
           "or\n"
           ".BR avx512 :\n"
           "forces that instruction\\-set path instead of the best the processor offers. Every path gives the\n"
           "same bytes. A path the processor lacks gives way to the best one below it that it has, and an\n"
           "unknown name to the default; either way one line on standard error says so.\n"
           ".SH EXIT STATUS\n"
           ".TP\n"
           ".B 0\n"
           "Every atlas was written.\n"
           ".TP\n"
           ".B 1\n"
           "Usage error: no texture given, or (modern run) an option or a combination of options that cannot\n"
           "run; nothing runs.\n"
           ".TP\n"
           ".B 2\n"
           "A texture could not be opened, was not recognised, failed to decode or was declined (also over\n"
           ".BR \\-\\-max\\-pixels ).\n"
           ".TP\n"
           ".B 3\n"
           "Out of memory, or the atlas would not fit a BMP file (4 GiB).\n"
           ".TP\n"
           ".B 4\n"
           "An output could not be written; no file is left half\\-written.\n"
           ".PP\n"
           "With several textures the status is that of the first one, in command\\-line order, that failed.\n"
           ".SH EXAMPLES\n"
           "The classic bi\\-directional atlas of one texture, in\n"
           ".IR wall_mip.bmp :\n"
           ".PP\n"
           ".RS\n"
           ".EX\n"
           "orvandel wall.tga </dev/null\n"
           ".EE\n"
           ".RE\n"
           ".PP\n"
           "PNG atlases of every TGA texture in a directory, written to\n"
           ".IR out :\n"
           ".PP\n"
           ".RS\n"
           ".EX\n"
           "orvandel \\-f png \\-o out textures/*.tga\n"
           ".EE\n"
           ".RE\n"
           ".PP\n"
           "A DDS mip chain filtered with the Kaiser window, the texture tiling:\n"
           ".PP\n"
           ".RS\n"
           ".EX\n"
           "orvandel \\-f dds \\-l mip \\-\\-filter kaiser \\-\\-edge wrap brick.png\n"
           ".EE\n"
           ".RE\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_man_page OUTPUT\n");
        return 1;
    }
    std::string version = modern_version_text();  // "orvandel 2.0\n"
    version = version.substr(version.find(' ') + 1);
    version.pop_back();
    const std::string text = page(version);
    const std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(argv[1], "w"), std::fclose);
    if (!out || std::fwrite(text.data(), 1, text.size(), out.get()) != text.size() || std::fflush(out.get()) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
