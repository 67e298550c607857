#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (fuzz/corpus/<target>/<case>):
a few well-formed calls and cases of each kind, in the input layouts the
targets describe at their top, for the fuzzer to start from."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# Classes as the host numbers them.
CELL, LOGICAL, CHAR, DOUBLE, SINGLE, INT8, UINT8, INT16, INT64, UINT64 = 1, 3, 4, 6, 7, 8, 9, 10, 14, 15
RAW, SPECIAL, SMALL_WHOLE, ONE_SPECIAL = 0, 1, 2, 3
# Positions in the table of special values (fuzz/input_reader.h), and the
# table's length.
NAN, INF, MINUS_INF, FLT_MAX, HUGE_1E19 = 17, 18, 19, 20, 25
SPECIAL_COUNT = 56


def special_setting(position):
    """The setting code (0xC0 and above) that picks a special value."""
    return next(code for code in range(0xC0, 0x100) if code % SPECIAL_COUNT == position)


def array(class_id, extents, data=b"", reading=RAW, sparse=False, complex_=False):
    count = 1
    for e in extents:
        count *= e
    if not data and 0 < count <= 1 << 14:
        reading, data = ONE_SPECIAL, b"\x00"  # all zeros
    flags = int(sparse) | int(complex_) << 1 | reading << 2
    codes = []
    for e in extents:
        # Extents up to 11 stand for themselves; larger ones come from the table.
        large = {16: 0, 255: 2, 1 << 31: 10, 1 << 32: 12, (1 << 64) - 1: 21, 1 << 17: 22}
        codes.append(e if e < 12 else 0xE0 + large[e])
    return bytes([class_id, flags, len(extents)] + codes) + data


def doubles(*values):
    return struct.pack("<%dd" % len(values), *values)


def call(command, outputs, *arrays, options=()):
    return bytes([command, outputs, len(arrays)]) + b"".join(arrays) + bytes([len(options)]) + b"".join(options)


# Option inputs: names by their index in option_names (fuzz/plugin_calls_fuzz.cpp),
# scalar values by class and position in the table of special values.
THREADS, VOLUME, THREADS_UPPER, VOLUME_CAPITAL, THREAD = 0, 1, 2, 3, 4
OPTION_DOUBLE, OPTION_LOGICAL, OPTION_INT32, OPTION_SINGLE = 0, 1, 2, 3
ZERO, ONE, FOUR, MINUS_ONE, ONE_AND_A_HALF = 0, 1, 4, 10, 14


def name(index, as_string=False):
    return bytes([1 if as_string else 0, index])


def value(class_code, position):
    return bytes([2, class_code, position])


def option_array(*arguments, **keywords):
    return bytes([3]) + array(*arguments, **keywords)


def small_whole(count, seed=3):
    return bytes((seed * i * i + i) % 8 for i in range(count))


SORVIK, TAMVEL = 0, 1
plugin_calls = {
    "sorvik_grey": call(SORVIK, 1, array(UINT8, [4, 6], small_whole(24), SMALL_WHOLE),
                        array(DOUBLE, [1, 6], doubles(3, 1, 0, 10, 1, 2))),
    "sorvik_colour": call(SORVIK, 1, array(SINGLE, [4, 5, 3], bytes(range(60)), SPECIAL),
                          array(DOUBLE, [6, 1], doubles(5, 2, 1e-4, 6, 1, 3))),
    "sorvik_volume": call(SORVIK, 0, array(INT16, [4, 4, 3, 2], small_whole(96), SMALL_WHOLE),
                          array(INT8, [1, 6], bytes([4, 2, 0, 5, 0, 3]), RAW)),
    "sorvik_no_channels": call(SORVIK, 1, array(DOUBLE, [3, 4, 0]), array(DOUBLE, [1, 6], doubles(3, 1, 0, 4, 1, 2))),
    "sorvik_complex": call(SORVIK, 1, array(DOUBLE, [3, 3], bytes(range(20, 38)), SPECIAL, complex_=True),
                           array(DOUBLE, [1, 6], doubles(3, 1, 0, 4, -1, 2))),
    "sorvik_logical": call(SORVIK, 1, array(LOGICAL, [5, 5], small_whole(25, 5), RAW),
                           array(DOUBLE, [1, 6], doubles(4, 0.5, 0, 3, 0, 2))),
    "sorvik_special_settings": call(SORVIK, 1, array(UINT64, [2, 3], bytes(range(40, 46)), SPECIAL),
                                    array(DOUBLE, [1, 6], bytes([37, NAN, 0, 8, 1, 41]), SPECIAL)),
    "sorvik_huge": call(SORVIK, 1, array(DOUBLE, [1 << 31, 1 << 32]), array(DOUBLE, [1, 6], doubles(3, 1, 0, 4, 1, 2))),
    "sorvik_sparse_cell": call(SORVIK, 2, array(DOUBLE, [2, 2], doubles(1, 2, 3, 4), sparse=True), array(CELL, [1, 6])),
    "sorvik_char_three_inputs": call(SORVIK, 1, array(CHAR, [1, 3], b"abcdef"), array(DOUBLE, [1, 1], doubles(1)),
                                     array(DOUBLE, [])),
    "tamvel_pair": call(TAMVEL, 1, array(DOUBLE, [5, 5], doubles(*[(i * 7) % 5 for i in range(25)])),
                        array(DOUBLE, [5, 5], doubles(*[(i * 3) % 4 for i in range(25)])),
                        array(DOUBLE, [1, 8], doubles(1, 1e-4, 10, 3, 5, 1, 1, 3))),
    "tamvel_colour_band": call(TAMVEL, 0, array(UINT8, [6, 6, 2], small_whole(72), SMALL_WHOLE),
                               array(SINGLE, [6, 6, 3], bytes(range(108)), SPECIAL),
                               array(DOUBLE, [8, 1], doubles(0.5, 0, 40, 5, 6, -20, 2, 4))),
    "tamvel_mismatch": call(TAMVEL, 1, array(DOUBLE, [4, 5]), array(DOUBLE, [4, 6]),
                            array(DOUBLE, [1, 8], doubles(1, 0, 1, 3, 4, 1, 1, 2))),
    "tamvel_empty": call(TAMVEL, 1, array(DOUBLE, [0, 5]), array(DOUBLE, [0, 5]),
                         array(DOUBLE, [1, 8], doubles(1, 0, 1, 3, 4, 1, 1, 2))),
    "sorvik_four_threads": call(SORVIK, 1, array(UINT8, [4, 6], small_whole(24), SMALL_WHOLE),
                                array(DOUBLE, [1, 6], doubles(3, 1, 0, 10, 1, 2)),
                                options=[name(THREADS), value(OPTION_DOUBLE, FOUR)]),
    "sorvik_grey_volume": call(SORVIK, 1, array(UINT8, [4, 4, 3], small_whole(48), SMALL_WHOLE),
                               array(DOUBLE, [1, 6], doubles(3, 1, 0, 5, 1, 2)),
                               options=[name(VOLUME_CAPITAL, True), value(OPTION_LOGICAL, ONE),
                                        name(THREADS_UPPER), value(OPTION_INT32, ZERO)]),
    "sorvik_half_thread": call(SORVIK, 1, array(DOUBLE, [3, 3]), array(DOUBLE, [1, 6], doubles(3, 1, 0, 4, 1, 2)),
                               options=[name(THREADS), value(OPTION_SINGLE, ONE_AND_A_HALF)]),
    "sorvik_unknown_option": call(SORVIK, 1, array(DOUBLE, [3, 3]), array(DOUBLE, [1, 6], doubles(3, 1, 0, 4, 1, 2)),
                                  options=[name(THREAD), value(OPTION_DOUBLE, ONE)]),
    "sorvik_array_for_a_name": call(SORVIK, 1, array(DOUBLE, [3, 3]),
                                    array(DOUBLE, [1, 6], doubles(3, 1, 0, 4, 1, 2)),
                                    options=[option_array(DOUBLE, [1, 2], doubles(1, 2))]),
    "tamvel_grey_volumes": call(TAMVEL, 1, array(DOUBLE, [5, 5, 2], doubles(*[(i * 7) % 5 for i in range(50)])),
                                array(DOUBLE, [5, 5, 2], doubles(*[(i * 3) % 4 for i in range(50)])),
                                array(DOUBLE, [1, 8], doubles(1, 1e-4, 10, 3, 5, 1, 1, 3)),
                                options=[name(VOLUME), value(OPTION_DOUBLE, ONE)]),
    "tamvel_missing_value": call(TAMVEL, 1, array(DOUBLE, [3, 3]), array(DOUBLE, [3, 3]),
                                 array(DOUBLE, [1, 8], doubles(1, 0, 1, 3, 4, 1, 1, 2)),
                                 options=[name(THREADS, True), value(OPTION_DOUBLE, MINUS_ONE), name(THREADS)]),
}


def value_source(mode, value_range, scale_position):
    """How an image's values are read: mode, their range (1 .. 6), a scale."""
    return [mode, value_range - 1, scale_position]


# Settings are given as the targets' codes: below 0xC0 a value typical of the
# setting (see setting() in each target), else a special value.
sorvik_kernels = {}
for name, shape, source, settings, pixels in [
    ("ties", (8, 8, 1, 1), (0, 2, 0), [8, 3, 0, 8, 5, 1], small_whole(64)),
    ("colour_specials", (16, 16, 1, 3), (1, 4, 0), [6, 4, 2, 6, 5, 3], bytes(range(256)) * 3),
    ("volume_raw", (6, 5, 3, 2), (2, 1, 0), [7, 1, 0, 5, 4, 2], bytes(range(240)) * 3),
    ("huge_scale", (9, 7, 1, 1), (3, 1, HUGE_1E19), [5, 2, 0, 4, 3, 3], bytes(range(63))),
    ("nan_weight", (4, 4, 1, 1), (0, 3, 0), [6, special_setting(NAN), 0, 4, 4, 1], small_whole(16)),
    ("infinite_iterations", (4, 4, 1, 1), (0, 3, 0), [6, 1, 0, special_setting(INF), 4, 1], small_whole(16)),
    ("no_channels", (5, 3, 2, 0), (0, 1, 0), [6, 1, 0, 3, 5, 1], b""),
    ("wide_window", (3, 5, 1, 1), (0, 5, 0), [39, 1, 0, 3, 3, 4], small_whole(15)),
    ("many_classes", (6, 6, 1, 2), (0, 6, 0), [6, 2, 0, 3, 5, 13], small_whole(72)),
]:
    width, height, depth, channels = shape
    sorvik_kernels[name] = bytes([width - 1, height - 1, depth - 1, channels] + value_source(*source) +
                                 settings) + pixels

tamvel_kernels = {}
for name, shape, sources, settings, pixels in [
    ("ties", (8, 8, 1, 1, 0), [(0, 3, 0), (0, 3, 0)], [2, 0, 3, 6, 8, 3, 5, 1], small_whole(128)),
    ("colour_band", (12, 10, 1, 3, 1), [(1, 5, 0), (3, 1, FLT_MAX)], [1, 2, 5, 8, 6, 4, 5, 3], bytes(range(256)) * 3),
    ("volume", (5, 5, 3, 1, 2), [(2, 1, 0), (0, 4, 0)], [2, 0, 4, 6, 5, 6, 4, 2], bytes(range(250)) * 2),
    ("empty_band", (7, 6, 1, 1, 0), [(0, 2, 0), (0, 2, 0)], [2, 0, 5, 7, 6, 0, 5, 2], small_whole(84)),
    ("wide_window", (3, 4, 1, 1, 0), [(0, 5, 0), (0, 5, 0)], [2, 0, 3, 39, 5, 4, 3, 3], small_whole(24)),
    ("nan_band_sigma", (4, 4, 1, 1, 0), [(0, 5, 0), (0, 5, 0)], [2, 0, 3, 6, 5, special_setting(NAN), 3, 3],
     small_whole(32)),
]:
    width, height, depth, channels, extra = shape
    tamvel_kernels[name] = bytes([width - 1, height - 1, depth - 1, channels - 1, extra] +
                                 value_source(*sources[0]) + value_source(*sources[1]) + settings) + pixels

for target, seeds in [("plugin_calls_fuzz", plugin_calls), ("sorvik_kernels_fuzz", sorvik_kernels),
                      ("tamvel_kernels_fuzz", tamvel_kernels)]:
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as seed:
            seed.write(data)
