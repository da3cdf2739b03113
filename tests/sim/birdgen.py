#!/usr/bin/python3
"""birdgen: write (and read back) BIRD firmware files for tests.

A BIRD file is the signature b"bird", a 16-bit big-endian format version and
one zlib stream (as zlib.compress makes it) holding the payload:

    u32 block count N | N block records | u32 checksum      (big-endian)
    block record: u8 type|flags<<5, u32 length L, L data bytes

Block types: 0 loader and 1 firmware (u32 load address + image bytes),
2 serial offsets (u32 serial-word address, u32 descriptor-text address),
3 unused, 4 identity (four blank-padded 16-byte ASCII fields: build, version,
serial as 8 hex digits, model), 5 loader start (u32 address).

The checksum word is nobody's business but ours: we write the byte sum of
everything before it, modulo 2**32.

Module API (all integers are Python ints, all data bytes):
    block(btype, data, flags=0, length=None)  one record; `length` overrides
                                              the length field (lies allowed)
    loader(address, image, flags=0)           type 0 record
    firmware(address, image, flags=0)         type 1 record
    serial_offsets(serial_addr, descriptor_addr)   type 2 record
    identity(build, version, serial, model)   type 4 record (64 bytes)
    identity_fields(build, version, serial, model) -> the 64 data bytes
    loader_start(address)                     type 5 record
    payload(records, count=None, checksum=None, trailing=b"")
                                              the uncompressed payload; count
                                              defaults to len(records)
    checksum(data)                            our checksum of payload bytes
    container(payload, signature=b"bird", version=0x0101, level=9,
              truncate=0)                     the file bytes; `truncate` drops
                                              that many bytes off the end
    make_bird(firmware=(), loaders=(), build=None, version="1.0.0",
              serial=0, model="", serial_offsets=None, loader_start=None)
                                              a well-formed file in one call;
                                              firmware/loaders are lists of
                                              (address, image) or
                                              (address, image, flags); the
                                              identity block is left out when
                                              build is None
    parse(data) -> dict                       strict reader: signature,
                                              version, count, blocks (list of
                                              dicts type/flags/length/data/
                                              address), checksum; raises
                                              ValueError on malformed input
    decipher(image, key_words) / encipher(image, key_words)
                                              the fingerprint cipher on one
                                              image (4 u32 key words)
    patch_serial(image, image_address, serial, serial_addr, descriptor_addr)
                                              what a serial-number patch
                                              must do to one image

Command line (blocks appear in command-line order):
    birdgen.py -o OUT [block options] [breakage options] [--describe]
  block options (repeatable):
    --loader ADDR[/FLAGS]:SPEC     --firmware ADDR[/FLAGS]:SPEC
    --serial-offsets SADDR,DADDR   --loader-start ADDR
    --identity BUILD,VERSION,SERIAL,MODEL   (SERIAL in hex)
    --raw TYPE[/FLAGS]:SPEC        any block type with SPEC as its data
  SPEC: hex:HEX | text:STRING | file:PATH | zeros:N | pattern:N
        (byte i = i & 0xFF) | random:N[:SEED]
  breakage options:
    --signature TEXT   --format-version N   --declared-count N
    --checksum N       --length-past-end K  (last block's length field runs
                                             K bytes past the payload's end)
    --trailing SPEC    (bytes after the checksum)
    --raw-payload SPEC (compress these bytes instead of building a payload)
    --truncate-zlib N  (drop N bytes off the end of the file)
    --level N          (zlib level, default 9)
  --encipher K0,K1,K2,K3  store every firmware image enciphered with these
                          four hex key words (what deciphering must undo)
  --describe prints one line per block: "TYPE FLAGS LENGTH ADDRESS", then
  "count N", "checksum 0xHHHHHHHH", "payload SIZE", "file SIZE".
Numbers accept 0x prefixes. Exit status 0 on success, 2 on bad arguments.
"""

import argparse
import random as _random
import struct
import sys
import zlib

SIGNATURE = b"bird"
FORMAT_VERSION = 0x0101
LOADER, FIRMWARE, SERIAL_OFFSETS, UNUSED, IDENTITY, LOADER_START = 0, 1, 2, 3, 4, 5


def block(btype, data, flags=0, length=None):
    if not 0 <= btype <= 0x1F or not 0 <= flags <= 7:
        raise ValueError("type must be 0..31 and flags 0..7")
    if length is None:
        length = len(data)
    return struct.pack(">BI", btype | (flags << 5), length & 0xFFFFFFFF) + bytes(data)


def loader(address, image, flags=0):
    return block(LOADER, struct.pack(">I", address) + bytes(image), flags)


def firmware(address, image, flags=0):
    return block(FIRMWARE, struct.pack(">I", address) + bytes(image), flags)


def serial_offsets(serial_addr, descriptor_addr):
    return block(SERIAL_OFFSETS, struct.pack(">II", serial_addr, descriptor_addr))


def _field(text):
    raw = text.encode("ascii")
    if len(raw) > 16:
        raise ValueError("identity field longer than 16 bytes: %r" % text)
    return raw.ljust(16, b" ")


def identity_fields(build, version, serial, model):
    return (_field(str(build)) + _field(version) + _field("%08X" % serial)
            + _field(model))


def identity(build, version, serial, model):
    return block(IDENTITY, identity_fields(build, version, serial, model))


def loader_start(address):
    return block(LOADER_START, struct.pack(">I", address))


def checksum(data):
    return sum(data) & 0xFFFFFFFF


def payload(records, count=None, checksum=None, trailing=b""):
    if count is None:
        count = len(records)
    body = struct.pack(">I", count & 0xFFFFFFFF) + b"".join(records)
    if checksum is None:
        checksum = globals()["checksum"](body)
    return body + struct.pack(">I", checksum & 0xFFFFFFFF) + bytes(trailing)


def container(payload_bytes, signature=SIGNATURE, version=FORMAT_VERSION,
              level=9, truncate=0):
    data = bytes(signature) + struct.pack(">H", version & 0xFFFF)
    data += zlib.compress(bytes(payload_bytes), level)
    if truncate:
        data = data[:-truncate]
    return data


def make_bird(firmware=(), loaders=(), build=None, version="1.0.0", serial=0,
              model="", serial_offsets=None, loader_start=None):
    records = []
    for entry in loaders:
        records.append(globals()["loader"](*entry))
    if loader_start is not None:
        records.append(globals()["loader_start"](loader_start))
    for entry in firmware:
        records.append(globals()["firmware"](*entry))
    if serial_offsets is not None:
        records.append(globals()["serial_offsets"](*serial_offsets))
    if build is not None:
        records.append(identity(build, version, serial, model))
    return container(payload(records))


def parse(data):
    data = bytes(data)
    if len(data) < 6 or data[:4] != SIGNATURE or data[4] == 0 or data[5] == 0:
        raise ValueError("not a BIRD file")
    body = zlib.decompress(data[6:])
    if len(body) < 8:
        raise ValueError("payload too short")
    (count,) = struct.unpack_from(">I", body, 0)
    pos, blocks = 4, []
    while len(body) - pos > 4:
        if len(body) - pos < 5:
            raise ValueError("truncated block header")
        tf, length = struct.unpack_from(">BI", body, pos)
        start = pos + 5
        if length > len(body) - start:
            raise ValueError("block length runs past the end")
        chunk = body[start:start + length]
        btype = tf & 0x1F
        address = (struct.unpack_from(">I", chunk)[0]
                   if btype in (LOADER, FIRMWARE) and length >= 4 else 0)
        blocks.append({"type": btype, "flags": tf >> 5, "length": length,
                       "address": address, "data": chunk})
        pos = start + length
    if len(body) - pos != 4:
        raise ValueError("no room for the checksum")
    if len(blocks) != count:
        raise ValueError("block count mismatch")
    return {"signature": data[:4], "version": struct.unpack_from(">H", data, 4)[0],
            "count": count, "blocks": blocks,
            "checksum": struct.unpack_from(">I", body, pos)[0]}


def _key_bytes(key_words):
    return b"".join(struct.pack(">I", w & 0xFFFFFFFF) for w in key_words)


def decipher(image, key_words):
    key, prev, out = _key_bytes(key_words), 0, bytearray()
    for i, c in enumerate(image):
        p = c ^ key[i % 16] ^ prev
        out.append(p)
        prev = p
    return bytes(out)


def encipher(image, key_words):
    key, prev, out = _key_bytes(key_words), 0, bytearray()
    for i, p in enumerate(image):
        out.append(p ^ key[i % 16] ^ prev)
        prev = p
    return bytes(out)


def patch_serial(image, image_address, serial, serial_addr, descriptor_addr):
    out = bytearray(image)
    if serial_addr:
        off = serial_addr - image_address
        if 0 <= off and off + 4 <= len(out):
            out[off:off + 4] = struct.pack("<I", serial)
    if descriptor_addr:
        off = descriptor_addr - image_address
        if 0 <= off and off + 16 <= len(out):
            for i, ch in enumerate(b"%08X" % serial):
                out[off + 2 * i] = ch
    return bytes(out)


# ---- command line -------------------------------------------------------

def _int(text):
    return int(text, 0)


def _spec(text):
    kind, _, arg = text.partition(":")
    if kind == "hex":
        return bytes.fromhex(arg)
    if kind == "text":
        return arg.encode("latin-1")
    if kind == "file":
        with open(arg, "rb") as fh:
            return fh.read()
    if kind == "zeros":
        return bytes(_int(arg))
    if kind == "pattern":
        return bytes(i & 0xFF for i in range(_int(arg)))
    if kind == "random":
        size, _, seed = arg.partition(":")
        return _random.Random(_int(seed) if seed else 0).randbytes(_int(size))
    raise argparse.ArgumentTypeError("bad data spec %r" % text)


def _head(text):
    """ADDR[/FLAGS]:SPEC -> (addr, flags, data)"""
    head, _, spec = text.partition(":")
    value, _, flags = head.partition("/")
    return _int(value), _int(flags) if flags else 0, _spec(spec)


class _BlockAction(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        try:
            rec = self._record(values)
        except (ValueError, OSError, argparse.ArgumentTypeError) as exc:
            parser.error("%s %s: %s" % (option_string, values, exc))
        namespace.records.append(rec)

    def _record(self, text):
        kind = self.dest
        if kind == "loader":
            addr, flags, data = _head(text)
            return loader(addr, data, flags)
        if kind == "firmware":
            addr, flags, data = _head(text)
            return firmware(addr, data, flags)
        if kind == "raw":
            btype, flags, data = _head(text)
            return block(btype, data, flags)
        if kind == "serial_offsets":
            a, b = text.split(",")
            return serial_offsets(_int(a), _int(b))
        if kind == "loader_start":
            return loader_start(_int(text))
        if kind == "identity":
            build, version, serial, model = text.split(",", 3)
            return identity(build, version, int(serial, 16), model)
        raise ValueError(kind)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Write a BIRD firmware file.")
    ap.set_defaults(records=[])
    ap.add_argument("-o", "--output", required=True)
    for name in ("loader", "firmware", "raw", "serial-offsets", "loader-start",
                 "identity"):
        ap.add_argument("--" + name, action=_BlockAction, dest=name.replace("-", "_"))
    ap.add_argument("--signature", default="bird")
    ap.add_argument("--format-version", type=_int, default=FORMAT_VERSION)
    ap.add_argument("--declared-count", type=_int)
    ap.add_argument("--checksum", type=_int)
    ap.add_argument("--length-past-end", type=_int, default=0)
    ap.add_argument("--trailing", type=_spec, default=b"")
    ap.add_argument("--raw-payload", type=_spec)
    ap.add_argument("--truncate-zlib", type=_int, default=0)
    ap.add_argument("--level", type=_int, default=9)
    ap.add_argument("--describe", action="store_true")
    ap.add_argument("--encipher")
    args = ap.parse_args(argv)

    records = list(args.records)
    if args.encipher:
        key = [int(w, 16) for w in args.encipher.split(",")]
        if len(key) != 4:
            ap.error("--encipher needs four key words")
        for i, rec in enumerate(records):
            if rec[0] & 0x1F == FIRMWARE and len(rec) >= 9:
                records[i] = rec[:9] + encipher(rec[9:], key)
    if args.length_past_end:
        if not records:
            ap.error("--length-past-end needs a block")
        last = records[-1]
        # Claims K bytes beyond the end of the payload (checksum and trailing included).
        length = len(last) - 5 + 4 + len(args.trailing) + args.length_past_end
        records[-1] = last[:1] + struct.pack(">I", length & 0xFFFFFFFF) + last[5:]
    if args.raw_payload is not None:
        body = args.raw_payload
    else:
        body = payload(records, args.declared_count, args.checksum, args.trailing)
    data = container(body, args.signature.encode("latin-1"), args.format_version,
                     args.level, args.truncate_zlib)
    with open(args.output, "wb") as fh:
        fh.write(data)
    if args.describe:
        for rec in records:
            btype, length = rec[0] & 0x1F, struct.unpack_from(">I", rec, 1)[0]
            addr = (struct.unpack_from(">I", rec, 5)[0]
                    if btype in (LOADER, FIRMWARE) and len(rec) >= 9 else 0)
            print("%d %d %d 0x%08X" % (btype, rec[0] >> 5, length, addr))
        print("count %d" % (len(records) if args.declared_count is None
                            else args.declared_count))
        if args.raw_payload is None:
            end = len(body) - len(args.trailing)
            print("checksum 0x%08X" % struct.unpack_from(">I", body, end - 4)[0])
        print("payload %d" % len(body))
        print("file %d" % len(data))
    return 0


if __name__ == "__main__":
    sys.exit(main())
