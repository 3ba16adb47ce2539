#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/ (run from anywhere; safe to run again).

Each seed is a small input in the target's own format (described at the top of each *_fuzzer.cpp): a few that
go the whole good road, and a few that take each failure road, so that a short run starts from deep states.
"""

import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(value):
    return struct.pack("<H", value)


def u32(value):
    return struct.pack("<I", value)


# ---- fuzz_unit_answers: set-up byte, image size, [flash address], then a mode byte per exchange ----
SOUND = b"\x00"
# Exchanges before the worker's start command: the device query (ping, mode, version, hardware id, flags)
# and the step's probe (ping, mode).
BEFORE_START = 7


def answers(setup, size, modes, address=None):
    data = bytes([setup]) + u16(size)
    if address is not None:
        data += u32(address)
    return data + b"".join(modes)


def flip(offset, xor=0x01, reseal=True):
    """A sound answer with one byte flipped (mode 4), its CRC sealed again or not."""
    return bytes([0x04 | (0x08 if reseal else 0)]) + u16(offset) + bytes([xor])


def unit_answers():
    size = 600 - 1  # the image is 1 + size bytes: three blocks, the last of 88 bytes
    start = BEFORE_START  # the start command's exchange
    erase = start + 1
    first_read = erase + 2  # write, then read back
    verify_first = erase + 1 + 3 * 2
    seeds = {
        "sound_step": answers(0x00, size, [SOUND] * 40),
        "sound_step_application_mode": answers(0x1C, size, [SOUND] * 40),
        "no_unit": answers(0x20, size, []),
        "wrapping_flash_address": answers(0x40, size, [SOUND] * 40, address=0xFFFFFF80),
        "readback_data_differs_once": answers(0x00, size, [SOUND] * first_read + [flip(12 + 5)] + [SOUND] * 40),
        "readback_address_differs": answers(0x00, size, [SOUND] * first_read + [flip(4, 0x10)] + [SOUND] * 40),
        "readback_length_differs": answers(0x00, size, [SOUND] * first_read + [flip(8)] + [SOUND] * 40),
        "verify_data_differs": answers(0x00, size, [SOUND] * verify_first + [flip(12 + 200, 0x80)] + [SOUND] * 10),
        "answer_crc_broken": answers(0x00, size, [SOUND] * erase + [flip(100, 0x01, reseal=False)] + [SOUND] * 40),
        "raw_answers": answers(0x00, size, [b"\x0d" + bytes(272)] * 3 + [SOUND] * 40),
        "read_timeouts": answers(0x00, size, [b"\x06"] * 4 + [SOUND] * 40),
        "write_fails": answers(0x00, size, [SOUND] * (erase + 3) + [b"\x07\x10"] + [SOUND] * 20),
        "short_read": answers(0x00, size, [SOUND] * 3 + [b"\x0e\x64"] + [SOUND] * 40),
        "two_chunks": answers(0x80, 300, [SOUND] * 800),
    }
    # Every version text of 30 characters and more, flags of any value: the answer to the version query raw.
    version = struct.pack("<III", 1, 0, 0) + (b"9" * 40 + b"\x00" + b"8" * 300)[:256]
    seeds["long_version_texts"] = answers(0x00, size, [SOUND, SOUND, b"\x0d" + version[:268] + bytes(4)])
    return seeds


# ---- fuzz_image_catalogue: per image a control byte, a size selector, a body length, the body ----
APP_TAG = b"e3975ace-7185-4365-8636-815f1a11a5b9_"
BOOT_TAG = b"fcb98c2f-47bb-473f-94be-f46be6cf31fd_"
HW_TAG = b"e1878a8b-4cf1-48b3-8c5d-acef9d700b82_"


def image(control, selector, body):
    return bytes([control]) + u32(selector) + u16(len(body)) + body


def image_catalogue():
    tags = APP_TAG + b"001.005.019\0\0\0" + BOOT_TAG + b"001.005.007\0\0\0" + HW_TAG + b"6\0"
    application = image(0x01, 3000, b"\xaa" * 64 + tags)  # just over the bootloader limit
    bootloader = image(0x02, 100, tags)  # just over the lower bound
    return {
        "both_images": application + bootloader,
        "tag_at_the_end": image(0x12, 10, BOOT_TAG + b"1.2") + bootloader,
        "long_version": image(0x02, 1, BOOT_TAG + b"0123456789abcdefghij\0" + HW_TAG + b"1_7\0") + bootloader,
        "hardware_ranges": image(0x02, 5, BOOT_TAG + b"\0" + HW_TAG + b" -5_+7\0") + image(
            0x02, 7, BOOT_TAG + b"x\0" + HW_TAG + b"2147483648_-2147483649\0"),
        "no_number": image(0x02, 5, BOOT_TAG + b"1\0" + HW_TAG + b"abc\0") + bootloader,
        "bounds": image(0x00, 65536, b"") + image(0x00, 7340032, b""),
        "lower_bound_plus_one": image(0x00, 65537, BOOT_TAG + b"1\0") + bootloader,
        "missing": image(0x80, 100, b"") + bootloader,
        "load_fails": image(0x71, 3000, tags) + image(0x62, 100, tags),
    }


# ---- fuzz_registry_check: a record count, the records, then the platform's answers ----
def instance(device, number, name, shape, data_mode, extra=b""):
    op = 0 | device << 2 | number << 3
    return bytes([op]) + name + b"\0" + bytes([shape]) + bytes([data_mode]) + extra


def platform(administrator=0, answer=1, start=0, path_ok=1, arguments=(b"--quiet",)):
    data = bytes([administrator, answer, start, path_ok, len(arguments)])
    return data + b"".join(a + b"\0" for a in arguments)


def registry_check():
    sz = 1 | (1 << 2)  # a value of type REG_SZ (1)
    right = [instance(d, n, b"5&1a2b3c&0&1", sz, 0) for d in range(2) for n in range(3)]
    return {
        "nothing_installed": bytes([0]) + platform(),
        "all_right": bytes([len(right)]) + b"".join(right) + platform(),
        "all_right_administrator": bytes([len(right)]) + b"".join(right) + platform(administrator=1),
        "wrong_case": bytes([1]) + instance(0, 1, b"x", sz, 4) + platform(answer=0),
        "guid_and_more": bytes([1]) + instance(1, 2, b"y", sz | 0x80, 1, b"\x03abc") + platform(),
        "guid_cut": bytes([1]) + instance(0, 0, b"z", sz, 2, b"\x26") + platform(answer=0, start=1),
        "raw_value": bytes([1]) + instance(0, 0, b"w", 0x0D, 5, u16(300) + b"\x41" * 300) + platform(),
        "no_parameters": bytes([1]) + instance(0, 2, b"v", 0, 0) + platform(),
        "denied": bytes([2]) + instance(0, 0, b"u", sz, 3, b"\x05\x20") + bytes([0x02]) + b"u\0" + bytes([0x02]) +
        platform(administrator=1),
        "test_fails": bytes([1]) + instance(0, 0, b"t", sz, 3, b"\x00\x01") + platform(administrator=2, answer=0),
    }


# ---- fuzz_settings_file: the file's text ----
def settings_file():
    key = b"software\\ostrel\\Velmora Communication System Software Update"
    good = key + b"\tUI Language\t4\t09040000\n"
    return {
        "language": good,
        "two_values": good + key + b"\\sub\tother\t3\t00ff10\n",
        "crlf": good.replace(b"\n", b"\r\n"),
        "malformed_lines": b"garbage\n" + key + b"\tUI Language\t4\t-1\n" + key + b"\tA\t4\t+f\n" + key +
        b"\tB\t4\t f\n" + key + b"\tC\t4294967300\t00\n" + key + b"\tD\t4\t0c0\n" + good,
        "duplicate": good + key + b"\tui language\t4\t07040000\n",
        "duplicate_spelling_a_key_otherwise": b"Ostrel\\a\tx\t4\t00\nostrel\\b\ty\t4\t00\nOSTREL\\B\tY\t4\t01\n",
        "empty_fields": b"\t\t0\t\n",
    }


# ---- fuzz_demo_settings: which variables are set, then their values ----
def demo(mask, *values):
    return bytes([mask]) + b"".join(v + b"\0" for v in values)


def demo_settings():
    return {
        "defaults": demo(0),
        "all_set": demo(0x3F, b"bootloader", b"001.005.010", b"1", b"0x10", b"drop@3,slowerase=25000,unplug@5=100",
                        b"fast"),
        "application": demo(0x01, b"application"),
        "bad_values": demo(0x3F, b"sideways", b"", b"2", b"-5", b"nothing,drop@x,badcrc=99999999999", b"slow"),
        "faults": demo(0x10, b"badcrc,wrongid=7,wrongaddress,wronglength,wrongdata=3,shortread=10,transient,stuck,"
                       b"powerloss@40=0"),
        "hardware_ids": demo(0x08, b"4294967296"),
    }


def main():
    corpora = {
        "fuzz_unit_answers": unit_answers(),
        "fuzz_image_catalogue": image_catalogue(),
        "fuzz_registry_check": registry_check(),
        "fuzz_settings_file": settings_file(),
        "fuzz_demo_settings": demo_settings(),
    }
    for target, seeds in corpora.items():
        folder = os.path.join(HERE, "corpus", target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{target}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
