// The default instrument saved as a preset, byte for byte.
#pragma once

inline constexpr const char *default_preset_document =
    "<?xml version=\"1.0\"?>\n"
    "<cwrp version=\"0.1.0\">\n"
    "  <string name=\"type\" value=\"tube\"/>\n"
    "  <int name=\"height\" value=\"10\"/>\n"
    "  <int name=\"circumference\" value=\"5\"/>\n"
    "  <double name=\"tension\" value=\"4\"/>\n"
    "  <double name=\"speed\" value=\"0.20000000000000001\"/>\n"
    "  <double name=\"damping\" value=\"0.050000000000000003\"/>\n"
    "  <int name=\"actuation\" value=\"0\"/>\n"
    "  <double name=\"velocity\" value=\"1\"/>\n"
    "</cwrp>\n";
