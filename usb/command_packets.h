// The camera's 64-byte packets: commands go out on pipe 0, replies come back on pipe 1.
#pragma once

#include "driver/device_context.h"

constexpr ULONG kPacketSize = 64;

// Command codes, byte 0 of a packet.
constexpr UCHAR kCommandStreamOff = 0x02;
constexpr UCHAR kCommandStreamOn = 0x03;
constexpr UCHAR kCommandWriteSensorRegister = 0x04;
constexpr UCHAR kCommandReset = 0x06;
constexpr UCHAR kCommandStartUp = 0x0A;
constexpr UCHAR kCommandWriteControlRegister = 0x25;
constexpr UCHAR kCommandReadControlRegister = 0x26;
constexpr UCHAR kCommandQueryTriggerStatus = 0x29;
constexpr UCHAR kCommandRaw = 0x40;
constexpr UCHAR kCommandReadMemoryByte = 0x41;

// Moves one 64-byte packet over pipe `index`, in the pipe's own direction, and waits for it.
// `moved` is 0 unless the transfer succeeded, then the bytes the bus driver reports (at most
// 64). A transfer whose URB reports a USB error fails with STATUS_UNSUCCESSFUL.
NTSTATUS PipeTransfer(DeviceContext* context, ULONG index, PUCHAR packet, ULONG* moved);

// Whether the packet went out on pipe 0 whole (all 64 bytes).
BOOLEAN SendPacket(DeviceContext* context, PUCHAR packet);

// Whether a whole 64-byte reply arrived on pipe 1.
BOOLEAN ReceivePacket(DeviceContext* context, PUCHAR packet);

// Sends stream on (0x03) or off (0x02) from StreamCommandPacket; the outcome is not reported.
void StreamControl(DeviceContext* context, BOOLEAN on);
