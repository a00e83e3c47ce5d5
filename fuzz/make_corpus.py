#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora from the replies the tests use."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Replies of a small healthy plant, fixed point (INFO bytes, DATAFLAG first).
PLANT = {
    (0x40, 0x42): "00 01 5622 5622 5622 1388 00 0000 0000 0000",
    (0x40, 0x43): "00 02 00 01 00",
    (0x40, 0x44): "00 02 00000000 00 00 00000000 00 00 000000",
    (0x41, 0x42): "00 1538 01 03E8 00",
    (0x41, 0x43): "00 01 000102 01 05",
    (0x41, 0x44): "00 01 00 07 00000000000000",
    (0x42, 0x42): "00 01 14B5 09C4 01 0064 00 00",
    (0x42, 0x44): "00 01 00 00 00",
    (0x80, 0x42): "00 01 01F4 01 0064",
}
TWO_UNITS = "00 02 14B5 09C4 02 0064 00C8 03 0001 0002 0003 01 2020 1388 0064 00 00 00"
FLOAT_AC = "00 01 00005C43 00005C43 00005C43 00004842 00 00000000 00000000 00000000"


def h(s):
    return bytes.fromhex(s.replace(" ", ""))


def frame(ver, adr, cid1, rtn, info):
    lenid = len(info) * 2
    lchk = (16 - ((lenid & 15) + ((lenid >> 4) & 15) + ((lenid >> 8) & 15)) % 16) % 16
    body = "%02X%02X%02X%02X%04X" % (ver, adr, cid1, rtn, (lchk << 12) | lenid) + info.hex().upper()
    chk = (0x10000 - sum(body.encode()) % 0x10000) % 0x10000
    return b"~" + body.encode() + b"%04X\r" % chk


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    for (cid1, cid2), info in PLANT.items():
        write("fuzz_codec", "reply_%02X_%02X" % (cid1, cid2), b"\x07" + frame(0x20, 1, cid1, 0, h(info)))
    write("fuzz_codec", "noise_then_reply", b"\x01\xff\x00noise~2001" + frame(0x20, 1, 0x42, 0, h(TWO_UNITS)))

    # Decoder index, length mode (0x80: the whole rest), module_count, dc_i_adjust, bytes from the pointer.
    seeds = {
        0: h(FLOAT_AC)[1:], 1: h(PLANT[(0x40, 0x42)])[1:], 2: h(PLANT[(0x40, 0x43)])[1:],
        3: h(PLANT[(0x40, 0x44)])[1:], 5: h(PLANT[(0x41, 0x42)]), 6: h(PLANT[(0x41, 0x43)]),
        7: h(PLANT[(0x41, 0x44)]), 10: h(TWO_UNITS)[2:], 11: h(TWO_UNITS)[2 + 9:],
        12: h(PLANT[(0x42, 0x44)])[2:], 13: h("01 02 AA BB 01 CC"),
    }
    for which, rest in seeds.items():
        write("fuzz_decoders", "decoder_%02d" % which, bytes([which, 0x80, 1, 1]) + rest)

    def reply(cid1, info):
        index = {0x40: 0, 0x41: 1, 0x42: 2, 0x80: 3}[cid1]
        return bytes([index, len(info) >> 8, len(info) & 0xFF]) + info

    order = [(0x40, 0x42), (0x40, 0x43), (0x40, 0x44), (0x41, 0x42), (0x41, 0x43), (0x41, 0x44),
             (0x42, 0x42), (0x42, 0x44), (0x80, 0x42)]
    first = b"".join(reply(c[0], h(PLANT[c])) for c in order)
    steady = b"".join(reply(c[0], h(PLANT[c])) for c in [order[0], order[3], order[6], order[8]])
    write("fuzz_rounds", "first_then_steady", bytes([0x1F, 0, 1, 0x82]) + first + b"\x82" + steady)
    write("fuzz_rounds", "mode2_thresholds", bytes([0x5F, 2, 2, 0x82]) + first)
    write("fuzz_rounds", "table_b_two_units", bytes([0x1F, 3, 4, 0x82]) + first.replace(
        reply(0x42, h(PLANT[(0x42, 0x42)])), reply(0x42, h(TWO_UNITS))))

    write("fuzz_settings", "plant", b'{"appSetting":{"has_ac":"1","has_dc":1,"no_dc_number":"2","has_a":"1",'
          b'"has_b":0,"has_c":null,"dc_i_adjust":"2abc","b_mode":"3"},"thresholdSetting":{"ZID06OZU_AC_0":'
          b'{"SignalName":"x","NMAlarmID":"419410901","SignalNumber":1,"level":1,"value":1.5},"n":7}}')
    write("fuzz_settings", "mode2", b'{"appSetting":{"b_mode":2},"thresholdSetting":{"220600120010":'
          b'{"level":2,"value":280}}}')

    write("fuzz_control", "set_time", bytes([0, 0, 10, 1]) + h("07EA 0C 07 13 25 00"))
    write("fuzz_control", "set_param", bytes([1, 0, 10, 1]) + b'{"signal_id":"006201","SetValue":"53.5"}')
    write("fuzz_control", "remote", bytes([2, 0, 10, 1]) + b"419500201002")
    write("fuzz_control", "query", bytes([3, 0, 6, 1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
