#!/usr/bin/python3
"""A Modbus RTU server on a serial device: the "PLC" behind a module's serial port.

Usage: modbus_rtu_server.py DEVICE [--baud 9600] [--parity N] [--unit 1]
A pseudo-terminal keeps no parity, and asking it for one twice fails, so N is the default.
Holding registers 0..99 start as 1000 + address; writes are kept. Prints "SERVING DEVICE" once
the port is open.
"""
import argparse
import asyncio
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import StartAsyncSerialServer
from pymodbus.transaction import ModbusRtuFramer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("device")
    parser.add_argument("--baud", type=int, default=9600)
    parser.add_argument("--parity", default="N", choices="NEO")
    parser.add_argument("--unit", type=int, default=1)
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)

    block = ModbusSequentialDataBlock(0, [1000 + i for i in range(100)])
    slave = ModbusSlaveContext(hr=block, ir=block, zero_mode=True)
    context = ModbusServerContext(slaves={args.unit: slave}, single=False)

    async def serve():
        server = await StartAsyncSerialServer(
            context=context, framer=ModbusRtuFramer, port=args.device, baudrate=args.baud,
            parity=args.parity, bytesize=8, stopbits=1, defer_start=True)
        await server.start()
        if server.transport is None:
            print("cannot open " + args.device, file=sys.stderr, flush=True)
            sys.exit(1)
        print("SERVING " + args.device, flush=True)
        await server.serve_forever()

    try:
        asyncio.run(serve())
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
