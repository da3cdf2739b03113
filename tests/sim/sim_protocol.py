"""Wire-level helpers shared by the simulated module and the test client.

Packets: address byte, length byte (0..28), data bytes. Multi-byte values in
packet data are big-endian. Serial lines carry each packet as one frame:
COBS(packet + CRC-8/MAXIM) followed by a zero byte.
"""

MAX_DATA = 28
SYNC_ADDRESS = 0xAD
ROUTE_ADDRESS = 0xAF

CMD_HEARTBEAT = 0x00
CMD_SYSTEM = 0x03
CMD_I2C = 0x08
CMD_DEBUG = 0x17
CMD_INFO = 0x49
CMD_ENTITY_STORE = 0x5C
CMD_STREAM = 0x5D
CMD_UPGRADE = 0x5F

NON_UEI_COMMANDS = frozenset({0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175})

FLAG_GET = 0x40
FLAG_SET = 0x80
FLAG_ACK = 0xC0
INDEX_REQUEST = 0x20
INDEX_ERROR = 0x80

# Result codes a module reports inside the protocol.
ERR_NONE = 0
ERR_MEMORY = 1
ERR_PARAM = 2
ERR_NOT_FOUND = 3
ERR_BUSY = 5
ERR_IO = 6
ERR_MODE = 7
ERR_SIZE = 14
ERR_TIMEOUT = 18
ERR_UNIMPLEMENTED = 21
ERR_PACKET = 24
ERR_INDEX_RANGE = 26
ERR_SHORT_COMMAND = 27
ERR_INVALID_ENTITY = 28
ERR_INVALID_OPTION = 29

# Upgrade command options.
UP_INIT, UP_DATA, UP_LOAD, UP_PREPARE, UP_SUM, UP_WRITE, UP_REBOOT, UP_STATUS = range(8)
UP_DATA_UEI = 10

UEI_BYTES_CHUNK = 24


def packet_bytes(address, data=b""):
    data = bytes(data)
    if not 0 < address <= 0xFF:
        raise ValueError("address must be 1..255")
    if len(data) > MAX_DATA:
        raise ValueError("packet data longer than %d bytes" % MAX_DATA)
    return bytes((address, len(data))) + data


def u16(value):
    return (value & 0xFFFF).to_bytes(2, "big")


def u32(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "big")


def get_u16(data, offset=0):
    return int.from_bytes(bytes(data[offset:offset + 2]), "big")


def get_u32(data, offset=0):
    return int.from_bytes(bytes(data[offset:offset + 4]), "big")


def version_pack(major, minor, patch):
    """Firmware version word: legacy layout below 2.15, marker 0x2F above."""
    if major > 2 or (major == 2 and minor > 14):
        return 0x2F000000 | (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (patch & 0xFF)
    return (major & 0xF) << 28 | (minor << 24) & 0x0F000000 | (patch & 0xFF)


def version_unpack(word):
    if word >> 24 >= 0x2F:
        return (word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF
    return word >> 28, (word >> 24) & 0xF, word & 0xFFFFFF


class PacketAssembler:
    """Turns an unframed byte stream into (address, data) packets.

    Zero bytes between packets are skipped (there is no address 0); a length
    above the packet limit discards the packet and starts over, which is all
    the resynchronisation a module needs: the host re-announces on trouble.
    """

    def __init__(self, max_data=MAX_DATA):
        self.max_data = max_data
        self.errors = 0
        self._reset()

    def _reset(self):
        self._address = None
        self._length = None
        self._data = bytearray()

    def feed(self, chunk):
        packets = []
        for byte in chunk:
            if self._address is None:
                if byte != 0:
                    self._address = byte
                continue
            if self._length is None:
                if byte > self.max_data:
                    self.errors += 1
                    self._reset()
                    continue
                self._length = byte
            else:
                self._data.append(byte)
            if len(self._data) == self._length:
                packets.append((self._address, bytes(self._data)))
                self._reset()
        return packets


def _crc8_table():
    table = []
    for value in range(256):
        crc = value
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8C if crc & 1 else crc >> 1
        table.append(crc)
    return tuple(table)


_CRC8 = _crc8_table()


def crc8(data, crc=0):
    """CRC-8/MAXIM (Dallas 1-Wire): reflected polynomial 0x31, init 0."""
    for byte in data:
        crc = _CRC8[crc ^ byte]
    return crc


def cobs_encode(data):
    out = bytearray()
    block = bytearray()
    for byte in data:
        if byte == 0:
            out.append(len(block) + 1)
            out += block
            block.clear()
        else:
            block.append(byte)
            if len(block) == 254:
                out.append(255)
                out += block
                block.clear()
    out.append(len(block) + 1)
    out += block
    return bytes(out)


def cobs_decode(data):
    """Returns the decoded bytes, or None when a code byte runs past the end."""
    out = bytearray()
    pos = 0
    while pos < len(data):
        code = data[pos]
        if code == 0 or pos + code > len(data):
            return None
        out += data[pos + 1:pos + code]
        pos += code
        if code != 255 and pos < len(data):
            out.append(0)
    return bytes(out)


def frame(wire):
    """One serial frame for a packet's wire bytes."""
    return cobs_encode(bytes(wire) + bytes((crc8(wire),))) + b"\x00"


class FrameDecoder:
    """Collects zero-delimited frames and yields the packets they carry.

    Accepts packets up to the full 28 data bytes (32 encoded bytes); longer
    or damaged frames are counted in `bad_frames` and dropped.
    """

    MAX_ENCODED = MAX_DATA + 2 + 1 + 1

    def __init__(self):
        self.bad_frames = 0
        self._buf = bytearray()
        self._overlong = False

    def feed(self, chunk):
        packets = []
        for byte in chunk:
            if byte != 0:
                if len(self._buf) < self.MAX_ENCODED:
                    self._buf.append(byte)
                else:
                    self._overlong = True
                continue
            if not self._buf:
                continue
            decoded = None if self._overlong else cobs_decode(bytes(self._buf))
            self._buf.clear()
            self._overlong = False
            if (decoded is None or len(decoded) < 3 or decoded[0] == 0
                    or decoded[1] + 3 != len(decoded) or decoded[1] > MAX_DATA
                    or crc8(decoded[:-1]) != decoded[-1]):
                self.bad_frames += 1
                continue
            packets.append((decoded[0], bytes(decoded[2:-1])))
        return packets


def uei_bytes_packets(command, option_byte, index_byte, value, chunk=UEI_BYTES_CHUNK):
    """Data of the packets that carry `value` as a multi-packet bytes value."""
    value = bytes(value)
    out = []
    offset = 0
    sequence = 0
    while True:
        part = value[offset:offset + chunk]
        offset += len(part)
        more = offset < len(value)
        trailer = (0x80 if more else 0) | (sequence & 0x7F)
        out.append(bytes((command, option_byte, index_byte)) + part + bytes((trailer,)))
        sequence += 1
        if not more:
            return out
