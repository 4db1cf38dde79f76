#!/usr/bin/python3
"""A small Modbus server (pymodbus) to try the Modbus family against.

It serves Modbus TCP on a loopback port or Modbus RTU on a serial port (a pty
end made by socat will do). Every unit has a store of its own, counted from 0:

  holding registers 0..N-1   register i holds i (a read from the wrong place shows)
  input registers   0..N-1   register i holds (1000 + i) mod 65536
  coils             0..N-1   all 0
  discrete inputs   0..N-1   input i is 1 for odd i

Reads beyond N get exception 02 (illegal data address). A unit that is not
served stays silent, as an absent unit on a serial line does; with --gateway a
TCP server answers it with exception 0x0B (gateway target device failed to
respond), as a TCP gateway in front of a serial line does. Read Device
Identification (43/14) answers vendor "zelm", product code "SIM-<unit>" and
revision the pymodbus version, per unit; units given to --no-identification
answer it with exception 01 (illegal function).

Once listening it prints one line, "ready <port>" (TCP, the real port) or
"ready <device>" (RTU), and runs until SIGTERM or SIGINT (exit status 0), or
until the process that started it is gone, so that a test that crashes leaves
no server behind.
Errors are one line on stderr, exit status 1.
"""

import argparse
import asyncio
import collections
import logging
import os
import signal
import sys
import types

import pymodbus
from pymodbus.datastore import ModbusServerContext, ModbusSequentialDataBlock, ModbusSlaveContext
from pymodbus.device import DeviceInformationFactory
from pymodbus.mei_message import ReadDeviceInformationRequest, ReadDeviceInformationResponse
from pymodbus.pdu import ModbusExceptions
from pymodbus.server.async_io import ModbusSerialServer, ModbusTcpServer
from pymodbus.transaction import ModbusRtuFramer

INPUT_REGISTER_OFFSET = 1000


class Unit(ModbusSlaveContext):
    """One unit's store, and its identification (None: it has no function 43)."""

    def __init__(self, unit_id, registers, identified):
        super().__init__(
            zero_mode=True,
            hr=ModbusSequentialDataBlock(0, list(range(registers))),
            ir=ModbusSequentialDataBlock(
                0, [(INPUT_REGISTER_OFFSET + i) % 65536 for i in range(registers)]),
            co=ModbusSequentialDataBlock(0, [0] * registers),
            di=ModbusSequentialDataBlock(0, [i % 2 for i in range(registers)]),
        )
        self.identification = identification_of(unit_id) if identified else None


def identification_of(unit_id):
    """The identification objects of one unit, by object id.

    pymodbus keeps one identification for the whole server (its
    ModbusDeviceIdentification stores the objects in a class attribute, shared
    by every instance), so each unit keeps a plain mapping of its own that
    pymodbus's object lookup reads in its place (missing objects read as "").
    """
    return collections.defaultdict(str, {
        0x00: "zelm",                        # vendor name
        0x01: f"SIM-{unit_id}",              # product code
        0x02: pymodbus.__version__,          # major/minor revision
        0x03: "urn:zelm:modbus-simulator",   # vendor URL
        0x04: "Modbus simulator",            # product name
        0x05: f"SIM unit {unit_id}",         # model name
    })


class ReadIdentification(ReadDeviceInformationRequest):
    """43/14 answered from the addressed unit's own identification."""

    def execute(self, context):
        if context.identification is None:
            return self.doException(ModbusExceptions.IllegalFunction)
        if not 0x01 <= self.read_code <= 0x04:
            return self.doException(ModbusExceptions.IllegalValue)
        unit = types.SimpleNamespace(Identity=context.identification)
        information = DeviceInformationFactory.get(unit, self.read_code, self.object_id)
        return ReadDeviceInformationResponse(self.read_code, information)


class GatewayContext(ModbusServerContext):
    """Lets every unit id through the framer, so that an absent unit reaches
    the context, which refuses it: pymodbus then answers exception 0x0B."""

    def slaves(self):
        return list(range(256))


def unit_list(text):
    """'1,2,5-7' -> [1, 2, 5, 6, 7]; unit ids 1..247."""
    units = []
    for part in text.split(","):
        first, _, last = part.partition("-")
        try:
            low, high = int(first), int(last or first)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a list of unit ids: {text!r}") from None
        if not 1 <= low <= high <= 247:
            raise argparse.ArgumentTypeError(f"unit ids are 1..247: {part!r}")
        units.extend(range(low, high + 1))
    return units


def tcp_address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    return host.strip("[]"), int(port)


def register_count(text):
    if not text.isdigit() or not 1 <= int(text) <= 65536:
        raise argparse.ArgumentTypeError(f"registers are 1..65536: {text!r}")
    return int(text)


class OneLineErrors(argparse.ArgumentParser):
    def error(self, message):
        self.exit(1, f"{self.prog}: {message}\n")


def parse_arguments(argv):
    parser = OneLineErrors(
        description="A Modbus TCP or RTU server with recognisable registers, for tests and trials.",
        epilog="Holding register i holds i, input register i holds 1000+i, coils are 0, "
               "discrete input i is i%2. Prints 'ready <port>' (TCP) or 'ready <device>' (RTU) "
               "once listening; stops on SIGTERM or SIGINT, or when the process that started it "
               "is gone.")
    bus = parser.add_mutually_exclusive_group(required=True)
    bus.add_argument("--tcp", type=tcp_address, metavar="HOST:PORT",
                     help="serve Modbus TCP here (port 0: any free port)")
    bus.add_argument("--rtu", metavar="DEVICE", help="serve Modbus RTU on this serial port")
    parser.add_argument("--baud", type=int, default=19200, help="RTU baud rate (default 19200)")
    parser.add_argument("--parity", choices=("N", "E", "O"), default="E", help="RTU parity (default E)")
    parser.add_argument("--data-bits", type=int, choices=(7, 8), default=8, help="RTU data bits (default 8)")
    parser.add_argument("--stop-bits", type=int, choices=(1, 2), default=1, help="RTU stop bits (default 1)")
    parser.add_argument("--units", type=unit_list, default=[1], metavar="LIST",
                        help="unit ids that answer, e.g. 1,2,5-7 (default 1)")
    parser.add_argument("--no-identification", type=unit_list, default=[], metavar="LIST",
                        help="units that answer Read Device Identification (43/14) with illegal function")
    parser.add_argument("--gateway", action="store_true",
                        help="TCP: answer units not served with exception 0x0B instead of silence")
    parser.add_argument("--registers", type=register_count, default=1000, metavar="N",
                        help="registers, coils and inputs 0..N-1 per unit (default 1000)")
    args = parser.parse_args(argv)
    if args.gateway and args.rtu:
        parser.error("--gateway is for --tcp only")
    return args


def server_context(args):
    units = {unit: Unit(unit, args.registers, unit not in args.no_identification) for unit in args.units}
    context_type = GatewayContext if args.gateway else ModbusServerContext
    return context_type(slaves=units, single=False)


async def start_tcp(args, context):
    server = ModbusTcpServer(context, address=args.tcp, allow_reuse_address=True)
    server.decoder.register(ReadIdentification)
    serving = asyncio.create_task(server.serve_forever())
    await asyncio.wait({serving, server.serving}, return_when=asyncio.FIRST_COMPLETED)
    if serving.done():
        serving.result()  # raises what stopped it
        raise RuntimeError("server stopped before listening")
    return server, serving, str(server.server.sockets[0].getsockname()[1])


def line_parity(args):
    """The parity to set on the port. A pseudo-terminal carries bytes, not
    bits: Linux clears PARENB on it, and pyserial then refuses to open it with
    any parity but N. The bytes on the line are the same, so a pty end is
    opened with N whatever --parity says (the peer may ask for E: libmodbus
    does not check what the kernel kept)."""
    if os.path.realpath(args.rtu).startswith("/dev/pts/"):
        return "N"
    return args.parity


async def start_rtu(args, context):
    server = ModbusSerialServer(context, framer=ModbusRtuFramer, port=args.rtu, baudrate=args.baud,
                                parity=line_parity(args), bytesize=args.data_bits,
                                stopbits=args.stop_bits, timeout=0)
    server.decoder.register(ReadIdentification)
    await server.start()
    if server.transport is None:
        raise RuntimeError(f"cannot open {args.rtu}")
    return server, None, args.rtu


PARENT_CHECK_SECONDS = 0.5


async def stop_when_orphaned(stop):
    """Sets `stop` once the parent has gone (the process is re-parented)."""
    parent = os.getppid()
    while os.getppid() == parent:
        await asyncio.sleep(PARENT_CHECK_SECONDS)
    stop.set()


async def serve(args):
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signal_number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signal_number, stop.set)
    orphan_watch = asyncio.create_task(stop_when_orphaned(stop))
    start = start_tcp if args.tcp else start_rtu
    server, serving, where = await start(args, server_context(args))
    print(f"ready {where}", flush=True)
    await stop.wait()
    orphan_watch.cancel()
    await server.shutdown()
    if serving is not None:
        serving.cancel()


def main(argv):
    args = parse_arguments(argv)
    # pymodbus logs every unknown unit and closed connection: keep quiet.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)
    try:
        asyncio.run(serve(args))
    except Exception as error:  # pylint: disable=broad-except
        where = args.rtu or "%s:%d" % args.tcp
        print(f"modbus_simulator: {where}: {error}".replace("\n", " "), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
