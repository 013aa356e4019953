// The console driver: one input file per run, one atlas written beside it.
#include "cli/classic.h"

#include "cli/common.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "builders/classic.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "readers/load_image.h"

namespace orvandel {

namespace {

const char KEY_PROMPT[] = "Press any key, Allah sees ya ! <|:-)=\n";

// Every message reaches the console at once, even without a line end.
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

void print_banner() {
    say("%26s_______Orvandel_______%25s\n", "", "");
    say("%19sReads .pcx, .bmp, .gif, .tga writes .bmp%18s\n\n\n", "", "");
}

void print_usage() {
    say("Program must be executed with commandline :\n"
        "    Orvandel.exe [filename] <ord>\n"
        "\n"
        "Where filename is name of texture (necessary)\n"
        "And if there will be next parameter, program generates\n"
        "ordinary mip-map only.\n"
        "\n"
        "Output is in truecolor bitmap with name :\n"
        "    \"Original_Filename\" + \"_mip\" + \".bmp\"\n"
        "\n"
        "%s",
        KEY_PROMPT);
}

}  // namespace

namespace {

// The PCX line-length warnings, printed the moment they arise.
void print_warning(void*, const char* text) { say("%s", text); }

int out_of_memory() {
    say("Not enough memory for MipMap !\n");
    return EXIT_NO_MEMORY;
}

// Takes the loaded picture over: a source Image is released as soon as the
// canvas holds it, so that the build and the write run with only the canvas
// in memory; a picture the loader put in the canvas itself is the canvas.
int build_and_write(const char* input_path, LoadResult loaded, FileCanvasTarget* target) {
    const bool rip = target->rip;
    say("Creating %s MipMap ...", rip ? "bi-directional" : "ordinary");
    // The atlas is built where its file's bytes are, so the writer sends
    // them as they are.
    BgrImagePtr canvas = build_classic_file_atlas(std::move(loaded.image),
                                                  loaded.in_destination ? std::move(target->canvas) : nullptr,
                                                  rip);
    if (!canvas) return out_of_memory();
    say(" Done\n");

    const std::string output = make_output_name(input_path);
    say("Writing Mip-Map ...");
    const bool written = static_cast<bool>(write_bmp24_image(output.c_str(), canvas.get()));
    canvas.reset();
    say(written ? " Done\n\n\n" : " Can't write MipMap !\n");
    say("%s", KEY_PROMPT);
    return written ? EXIT_ATLAS_WRITTEN : EXIT_WRITE_FAILED;
}

}  // namespace

int run_orvandel(int argc, char** argv) {
    print_banner();
    int status = EXIT_USAGE;
    if (argc < 2) {
        print_usage();
    } else {
        const char* path = argv[1];
        say("Loading image '%s' ...", display_name(path).c_str());
        const bool rip = argc == 2;
        LoadOptions options;
        options.warnings.warn = print_warning;
        // The picture is decoded straight into the atlas canvas where its
        // reader can do so.
        FileCanvasTarget target;
        target.rip = rip;
        options.rows = file_canvas_rows(&target);
        // Any allocation that fails past the loader's own checks ends the run
        // with the memory message, never an abort.
        try {
            LoadResult loaded = load_image_file(path, options);
            if (!loaded.image && !loaded.in_destination) {
                // The classic console has one text for every failed load; the
                // status tells a want of memory apart.
                say("Invalid fileformat !\n%s", KEY_PROMPT);
                status = loaded.error == LoadError::no_memory ? EXIT_NO_MEMORY : EXIT_INVALID_FORMAT;
            } else {
                say(" Done\n");
                status = build_and_write(path, std::move(loaded), &target);
            }
        } catch (const std::bad_alloc&) {
            status = out_of_memory();
        }
    }
    std::getchar();
    return status;
}

}  // namespace orvandel
