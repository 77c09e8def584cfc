// Loads arbitrary bytes as a preset file, brings the result inside the
// window's ranges, and saves and loads it again: the nodes must be movable and
// the second load must restore every saved value exactly.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <glib.h>
#include <unistd.h>

#include "presets.h"

namespace {

std::string folder;

void write_all(const std::string &file, const uint8_t *data, size_t size)
{
    FILE *out = std::fopen(file.c_str(), "wb");
    if (out == nullptr)
        std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size)
        std::abort();
    std::fclose(out);
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A private folder in memory when the machine has one: every input is a file.
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : g_get_tmp_dir();
    gchar *templ = g_build_filename(base, "cw-pres-fuzz-XXXXXX", nullptr);
    if (g_mkdtemp(templ) == nullptr)
        std::abort();
    folder = templ;
    g_free(templ);
    std::atexit([] {
        std::remove((folder + "/in.cwrp").c_str());
        std::remove((folder + "/out.cwrp").c_str());
        std::remove(folder.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string in = folder + "/in.cwrp";
    const std::string out = folder + "/out.cwrp";
    write_all(in, data, size);

    Instrument ins = instrument_defaults();
    std::string message;
    const PresLoadResult result = load_pres_result(&ins, in.c_str(), message);
    if (result != PRES_LOADED && message.empty())
        __builtin_trap();
    if (result == PRES_UNREADABLE)
        return 0;

    // Whatever was loaded, the saved preset brings it back exactly.
    if (save_pres(&ins, out.c_str(), message) != 0)
        std::abort();
    Instrument back = instrument_defaults();
    if (load_pres_result(&back, out.c_str(), message) != PRES_LOADED || back.type != ins.type ||
        !same(back.tension, ins.tension) || !same(back.speed, ins.speed) ||
        !same(back.damping, ins.damping) || !same(back.velocity, ins.velocity) ||
        back.actuation != ins.actuation || back.tube_height != ins.tube_height ||
        back.tube_circumference != ins.tube_circumference || back.rod_length != ins.rod_length ||
        back.plane_length != ins.plane_length || back.plane_width != ins.plane_width)
        __builtin_trap();

    apply_loaded_pres(&ins);
    if (!instrument_node_is_movable(ins, ins.actuation_node) ||
        !instrument_node_is_movable(ins, ins.sampling_node))
        __builtin_trap();
    return 0;
}
