/*
 * Helpers shared by the fuzz targets that call the program's routines.
 */
#include "fuzz_util.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <libxo/xo.h>

#include "image_load.h"
#include "kernel.h"
#include "main.h"

void fuzz_xo_begin(int style, bool pretty)
{
    static FILE *null = fopen("/dev/null", "w");
    xo_destroy(nullptr);
    xo_set_style(nullptr, xo_style_t(style & 3));
    xo_set_flags(nullptr, XOF_UNITS | (pretty ? XOF_PRETTY : 0));
    xo_set_file(null);
}

void fuzz_xo_end()
{
    xo_finish();
    xo_destroy(nullptr);
}

void fuzz_set_options(uint8_t bits)
{
    reset_options();
    switch (bits & 3) {
    case 1:
        opts.xflag = true;
        break;
    case 2:
        opts.oflag = true;
        break;
    case 3:
        opts.bflag = true;
        break;
    }
    opts.hflag = bits & 4;
    opts.tflag = bits & 8;
    opts.Nflag = (bits & 16) && (bits & 7) == 0;
    opts.dflag = bits & 32;
    opts.lflag = opts.pflag = bits & 64;
    opts.zflag = bits & 128;
}

// The image file of this process, in a private directory.
static const std::string &image_path()
{
    static const std::string path = [] {
        std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = dir + "/tunex-fuzz.XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr)
            abort();
        std::string dirname = tmpl;
        // The directory goes when the fuzzer ends.
        static std::string cleanup = "rm -rf '" + dirname + "'";
        atexit([] {
            if (system(cleanup.c_str()) != 0)
                fprintf(stderr, "cannot remove the fuzzer's image directory\n");
        });
        return dirname + "/image.json";
    }();
    return path;
}

bool fuzz_boot_image(const std::string &text)
{
    image_data data;
    std::string err;
    if (!image_load_text("fuzz", text, data, err))
        return false;
    FILE *f = fopen(image_path().c_str(), "w");
    if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
        abort();
    setenv("MIB_IMAGE", image_path().c_str(), 1);
    kernel_reset();
    return true;
}
