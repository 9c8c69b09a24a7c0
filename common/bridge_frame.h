//
// Wire format between the host and the bridge: one frame per bulk transfer, an
// 8-byte header followed by 0 to 56 payload bytes. Multi-byte fields are
// little-endian, which is the drivers' native order on x64.
//
#pragma once

#include "platform.h"

constexpr ULONG BRIDGE_HEADER_SIZE = 8;
constexpr ULONG BRIDGE_MAX_PAYLOAD = 56;
constexpr ULONG BRIDGE_FRAME_MAX = BRIDGE_HEADER_SIZE + BRIDGE_MAX_PAYLOAD;  // also the length of every IN read
constexpr UCHAR BRIDGE_FRAME_VERSION = 1;  // the only version written and accepted
constexpr UCHAR BRIDGE_PORT_COUNT = 8;
constexpr UCHAR BRIDGE_PORT_DEVICE = 0xFF;  // port byte of device-wide frames

static_assert(BRIDGE_FRAME_MAX == 64, "a frame must fit one 64-byte transfer");

constexpr UCHAR BRIDGE_FRAME_MAGIC_0 = 0x4F;  // 'O'
constexpr UCHAR BRIDGE_FRAME_MAGIC_1 = 0x42;  // 'B'

constexpr UCHAR FRAME_TYPE_DATA = 0x01;        // both directions
constexpr UCHAR FRAME_TYPE_SET_CONFIG = 0x02;  // host to device, payload PORT_LINE_CONFIG
constexpr UCHAR FRAME_TYPE_CONTROL = 0x03;     // host to device, payload BRIDGE_CONTROL_PAYLOAD
constexpr UCHAR FRAME_TYPE_ANNOUNCE = 0x7E;    // hello (host, empty) and announce (device)
constexpr UCHAR FRAME_TYPE_ACK = 0x80;         // device to host, payload BRIDGE_ACK_PAYLOAD
constexpr UCHAR FRAME_TYPE_NAK = 0xFF;         // device to host, payload [Command, one unexamined byte]

// Ports below this one (the two CAN FD channels) never answer; ports from it up
// answer every data, set-config and control frame with an ACK or a NAK.
constexpr UCHAR BRIDGE_FIRST_ANSWERED_PORT = 2;

#pragma pack(push, 1)

typedef struct _BRIDGE_FRAME_HEADER {
    UCHAR Magic[2];        // BRIDGE_FRAME_MAGIC_0, BRIDGE_FRAME_MAGIC_1
    UCHAR Version;         // BRIDGE_FRAME_VERSION
    UCHAR Port;            // 0 to 7, or BRIDGE_PORT_DEVICE
    UCHAR Type;            // FRAME_TYPE_*
    UCHAR Reserved;        // 0 when sent; not examined when received
    USHORT PayloadLength;  // 0 to BRIDGE_MAX_PAYLOAD
} BRIDGE_FRAME_HEADER, *PBRIDGE_FRAME_HEADER;

// A whole frame as built on the sender's stack; only the first
// BRIDGE_HEADER_SIZE + PayloadLength bytes are written.
typedef struct _BRIDGE_FRAME {
    BRIDGE_FRAME_HEADER Header;
    UCHAR Payload[BRIDGE_MAX_PAYLOAD];
} BRIDGE_FRAME, *PBRIDGE_FRAME;

// Payload of FRAME_TYPE_ACK; the device may append bytes, which are not examined.
typedef struct _BRIDGE_ACK_PAYLOAD {
    UCHAR Command;  // Type of the frame answered
    UCHAR Status;   // BRIDGE_ACK_STATUS_* for success, anything else fails
    USHORT Value;   // payload bytes of the command that the device accepted
} BRIDGE_ACK_PAYLOAD, *PBRIDGE_ACK_PAYLOAD;

#pragma pack(pop)

static_assert(sizeof(BRIDGE_FRAME_HEADER) == BRIDGE_HEADER_SIZE, "wire header is 8 bytes");
static_assert(alignof(BRIDGE_FRAME_HEADER) == 1, "header may be read at any address");
static_assert(FIELD_OFFSET(BRIDGE_FRAME_HEADER, Magic) == 0, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_FRAME_HEADER, Version) == 2, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_FRAME_HEADER, Port) == 3, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_FRAME_HEADER, Type) == 4, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_FRAME_HEADER, Reserved) == 5, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_FRAME_HEADER, PayloadLength) == 6, "wire offset");

static_assert(sizeof(BRIDGE_FRAME) == BRIDGE_FRAME_MAX, "a whole frame is 64 bytes");
static_assert(FIELD_OFFSET(BRIDGE_FRAME, Payload) == BRIDGE_HEADER_SIZE, "payload follows the header");

constexpr ULONG BRIDGE_ACK_MIN_PAYLOAD = sizeof(BRIDGE_ACK_PAYLOAD);
constexpr ULONG BRIDGE_NAK_MIN_PAYLOAD = 2;
static_assert(BRIDGE_ACK_MIN_PAYLOAD == 4, "ACK payload is Command, Status, Value");
static_assert(FIELD_OFFSET(BRIDGE_ACK_PAYLOAD, Command) == 0, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_ACK_PAYLOAD, Status) == 1, "wire offset");
static_assert(FIELD_OFFSET(BRIDGE_ACK_PAYLOAD, Value) == 2, "wire offset");

// Both ACK statuses count as success; the host gives the second no further meaning.
constexpr UCHAR BRIDGE_ACK_STATUS_SUCCESS = 0;
constexpr UCHAR BRIDGE_ACK_STATUS_SUCCESS_ALT = 2;

// The device's announce: Port BRIDGE_PORT_DEVICE, payload of at least
// BRIDGE_ANNOUNCE_MIN_PAYLOAD bytes starting [BRIDGE_ANNOUNCE_REVISION, BRIDGE_PORT_COUNT].
// Bytes from 2 on carry nothing the host uses.
constexpr ULONG BRIDGE_ANNOUNCE_MIN_PAYLOAD = 12;
constexpr UCHAR BRIDGE_ANNOUNCE_REVISION = 1;

// Line settings, sent unchanged as the payload of FRAME_TYPE_SET_CONFIG.
typedef struct _PORT_LINE_CONFIG {
    ULONG BaudRate;  // bits per second
    UCHAR DataBits;  // 7 or 8
    UCHAR Parity;    // NO_PARITY, ODD_PARITY, EVEN_PARITY
    UCHAR StopBits;  // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    UCHAR Reserved;  // 0
} PORT_LINE_CONFIG, *PPORT_LINE_CONFIG;

static_assert(sizeof(PORT_LINE_CONFIG) == 8, "set-config payload is 8 bytes");
static_assert(FIELD_OFFSET(PORT_LINE_CONFIG, BaudRate) == 0, "wire offset");
static_assert(FIELD_OFFSET(PORT_LINE_CONFIG, DataBits) == 4, "wire offset");
static_assert(FIELD_OFFSET(PORT_LINE_CONFIG, Parity) == 5, "wire offset");
static_assert(FIELD_OFFSET(PORT_LINE_CONFIG, StopBits) == 6, "wire offset");
static_assert(FIELD_OFFSET(PORT_LINE_CONFIG, Reserved) == 7, "wire offset");

// Payload of FRAME_TYPE_CONTROL is [operation, argument].
constexpr ULONG BRIDGE_CONTROL_PAYLOAD_SIZE = 2;

constexpr UCHAR PORT_CONTROL_OPEN = 1;   // argument 1 on open, 0 on close
constexpr UCHAR PORT_CONTROL_PURGE = 2;  // argument PORT_PURGE_* bits
constexpr UCHAR PORT_CONTROL_BREAK = 3;  // argument 1; nothing ends the break

constexpr UCHAR PORT_PURGE_RX = 0x01;  // SERIAL_PURGE_RXABORT or SERIAL_PURGE_RXCLEAR requested
constexpr UCHAR PORT_PURGE_TX = 0x02;  // SERIAL_PURGE_TXABORT or SERIAL_PURGE_TXCLEAR requested
