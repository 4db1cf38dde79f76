#!/usr/bin/python3
"""A Modbus unit that misbehaves on purpose, for the Modbus family's tests.

It serves unit 1 over TCP on a loopback port, or on a serial line (one end of
a socat pty pair): read holding registers (3), where register i holds i, and
Read Device Identification (43/14). It answers in one of these ways:

  late            every Nth read is answered DELAY ms after its request, which
                  the client has given up on by then
  noise           every Nth read is answered first by a frame that noise
                  corrupted (the reply with its CRC broken), then, DELAY ms
                  later, by the reply itself (serial lines only)
  other-unit      replies name unit 2
  other-function  replies carry function 4 for 3
  other-length    read replies carry one register more than asked for
  more-follows    identification replies say, every time, that more objects
                  follow: one object a reply, each DELAY ms after its request

Once serving it prints "ready <port>" (TCP) or "ready <device>", and runs
until SIGTERM or until the process that started it is gone. Errors are one
line on stderr, exit status 1.
"""

import argparse
import os
import signal
import socketserver
import struct
import sys
import threading
import time

import serial
from pymodbus.utilities import computeCRC

UNIT = 1
OTHER_UNIT = 2
READ_HOLDING_REGISTERS = 0x03
READ_INPUT_REGISTERS = 0x04
READ_DEVICE_IDENTIFICATION = 0x2B
MEI_READ_DEVICE_IDENTIFICATION = 0x0E
MORE_FOLLOWS = 0xFF


class Unit:
    """What the unit answers, request by request (PDUs, without framing)."""

    def __init__(self, args):
        self.args = args
        self.reads = 0

    def replies(self, pdu):
        """[(seconds to wait first, unit id, reply PDU, broken CRC?)] for one
        request, in order; none for a request it ignores."""
        behaviour = self.args.behaviour
        if pdu[0] == READ_HOLDING_REGISTERS and len(pdu) == 5:
            first, count = struct.unpack(">HH", pdu[1:5])
            self.reads += 1
            nth = self.reads % self.args.every == 0
            if behaviour == "other-length":
                count += 1
            values = b"".join(struct.pack(">H", (first + i) & 0xFFFF) for i in range(count))
            function = READ_INPUT_REGISTERS if behaviour == "other-function" else READ_HOLDING_REGISTERS
            reply = bytes([function, 2 * count]) + values
            if behaviour == "late" and nth:
                return [(self.args.delay, self.unit_id(), reply, False)]
            if behaviour == "noise" and nth:
                return [(0, self.unit_id(), reply, True), (self.args.delay, self.unit_id(), reply, False)]
            return [(0, self.unit_id(), reply, False)]
        if pdu[0] == READ_DEVICE_IDENTIFICATION and len(pdu) == 4 and pdu[1] == MEI_READ_DEVICE_IDENTIFICATION:
            code, first_object = pdu[2], pdu[3]
            value = f"part {first_object}".encode()
            more, next_object, wait = 0, 0, 0
            if behaviour == "more-follows":
                more, next_object, wait = MORE_FOLLOWS, (first_object + 1) & 0xFF, self.args.delay
            reply = bytes([READ_DEVICE_IDENTIFICATION, MEI_READ_DEVICE_IDENTIFICATION, code, 0x81, more,
                           next_object, 1, first_object, len(value)]) + value
            return [(wait, self.unit_id(), reply, False)]
        return []

    def unit_id(self):
        return OTHER_UNIT if self.args.behaviour == "other-unit" else UNIT


def serve_tcp(unit, args):
    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            while True:
                header = self.read(7)
                if header is None:
                    return
                transaction, _, length, unit_id = struct.unpack(">HHHB", header)
                pdu = self.read(length - 1)
                if pdu is None:
                    return
                for wait, reply_unit, reply, _ in unit.replies(pdu):
                    time.sleep(wait)
                    self.request.sendall(struct.pack(">HHHB", transaction, 0, len(reply) + 1, reply_unit) + reply)

        def read(self, count):
            data = b""
            while len(data) < count:
                more = self.request.recv(count - len(data))
                if not more:
                    return None
                data += more
            return data

    class Server(socketserver.ThreadingTCPServer):
        allow_reuse_address = True
        daemon_threads = True

    host, port = args.tcp
    server = Server((host, port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return str(server.server_address[1])


# A request's length after its unit id and function code, by function.
REQUEST_REST = {READ_HOLDING_REGISTERS: 4 + 2, READ_DEVICE_IDENTIFICATION: 3 + 2}


def crc_of(frame):
    return struct.pack(">H", computeCRC(frame))


def serve_rtu(unit, args):
    line = serial.Serial(args.rtu, args.baud, timeout=None)

    def run():
        while True:
            head = line.read(2)
            rest = REQUEST_REST.get(head[1])
            if rest is None:
                time.sleep(0.01)
                line.reset_input_buffer()
                continue
            frame = head + line.read(rest)
            if frame[0] != UNIT or crc_of(frame[:-2]) != frame[-2:]:
                continue
            for wait, reply_unit, reply, broken in unit.replies(frame[1:-2]):
                time.sleep(wait)
                body = bytes([reply_unit]) + reply
                crc = crc_of(body)
                line.write(body + (bytes([crc[0] ^ 0xFF, crc[1]]) if broken else crc))
                line.flush()

    threading.Thread(target=run, daemon=True).start()
    return args.rtu


def tcp_address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit():
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    return host, int(port)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="A Modbus unit that misbehaves on purpose.")
    bus = parser.add_mutually_exclusive_group(required=True)
    bus.add_argument("--tcp", type=tcp_address, metavar="HOST:PORT", help="serve Modbus TCP here (port 0: any)")
    bus.add_argument("--rtu", metavar="DEVICE", help="serve Modbus RTU on this serial port")
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--behaviour", required=True,
                        choices=("late", "noise", "other-unit", "other-function", "other-length", "more-follows"))
    parser.add_argument("--every", type=int, default=1, metavar="N", help="late and noise: every Nth read")
    parser.add_argument("--delay-ms", type=int, default=0, metavar="DELAY")
    args = parser.parse_args(argv)
    if args.behaviour == "noise" and args.tcp:
        parser.error("noise is for serial lines only")
    args.delay = args.delay_ms / 1000
    return args


def main(argv):
    args = parse_arguments(argv)
    stop = threading.Event()
    for signal_number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signal_number, lambda *_: stop.set())
    try:
        where = (serve_tcp if args.tcp else serve_rtu)(Unit(args), args)
    except Exception as error:  # pylint: disable=broad-except
        print(f"hostile_peer: {error}".replace("\n", " "), file=sys.stderr)
        return 1
    print(f"ready {where}", flush=True)
    parent = os.getppid()
    while not stop.wait(0.5) and os.getppid() == parent:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
