-- Wireshark dissector for the Ombrel Vesk bridge's frame protocol on its bulk
-- pipes (OUT 0x02: host to bridge, IN 0x81: bridge to host).
--
--   tshark -2 -X lua_script:tools/wireshark/ombrel_bridge.lua -r capture.pcapng
--
-- or copy this file into Wireshark's personal plugins folder.
--
-- It decodes what common/bridge_frame.h defines and judges every frame from
-- the bridge as the bus driver's receive dispatch (bus/receive.cpp) and
-- command channel (bus/command.cpp) do: each reason the host drops a frame,
-- or fails the command an answer belongs to, is its own expert-info entry.
-- One bulk transfer carries exactly one frame; the host takes no frame spread
-- over several transfers, and voids a transfer that holds more than one.

local ombrel = Proto("ombrel", "Ombrel Vesk bridge frame")

local HEADER_SIZE = 8
local MAX_PAYLOAD = 56
local VERSION = 1
local PORT_COUNT = 8
local DEVICE_PORT = 0xFF
local FIRST_ANSWERED_PORT = 2
local ANNOUNCE_MIN_PAYLOAD = 12
local ANNOUNCE_REVISION = 1
local ACK_MIN_PAYLOAD = 4
local NAK_MIN_PAYLOAD = 2
local CONTROL_PAYLOAD = 2
local LINE_CONFIG_SIZE = 8

local TYPE_DATA, TYPE_SET_CONFIG, TYPE_CONTROL = 0x01, 0x02, 0x03
local TYPE_ANNOUNCE, TYPE_ACK, TYPE_NAK = 0x7E, 0x80, 0xFF

local CONTROL_OPEN, CONTROL_PURGE, CONTROL_BREAK = 1, 2, 3

local TO_BRIDGE, TO_HOST = 0, 1

local type_names = {
    [TYPE_DATA] = "Data", [TYPE_SET_CONFIG] = "Set config", [TYPE_CONTROL] = "Control",
    [TYPE_ANNOUNCE] = "Announce", [TYPE_ACK] = "ACK", [TYPE_NAK] = "NAK",
}
-- Indexed by port: the channel behind it, as the bus driver names its children.
local port_names = {
    [0] = "CAN FD 1", "CAN FD 2", "RS485 1", "RS485 2", "RS485 3", "RS485 4", "RS232 1", "RS232 2",
    [DEVICE_PORT] = "device",
}
local direction_names = { [TO_BRIDGE] = "host to bridge", [TO_HOST] = "bridge to host" }
local parity_names = { [0] = "none", "odd", "even", "mark", "space" }
local parity_letters = { [0] = "N", "O", "E", "M", "S" }
local stop_bits_names = { [0] = "1", "1.5", "2" }
local control_names = { [CONTROL_OPEN] = "Open", [CONTROL_PURGE] = "Purge", [CONTROL_BREAK] = "Break" }
local open_names = { [0] = "closed", [1] = "opened" }
local ack_status_names = { [0] = "success", [2] = "success (second code)" }

local f = ombrel.fields
f.direction = ProtoField.uint8("ombrel.direction", "Direction", base.DEC, direction_names)
f.magic = ProtoField.bytes("ombrel.magic", "Magic")
f.version = ProtoField.uint8("ombrel.version", "Version")
f.port = ProtoField.uint8("ombrel.port", "Port", base.DEC, port_names)
f.type = ProtoField.uint8("ombrel.type", "Type", base.HEX, type_names)
f.reserved = ProtoField.uint8("ombrel.reserved", "Reserved", base.HEX)
f.length = ProtoField.uint16("ombrel.length", "Payload length")
f.dropped = ProtoField.bool("ombrel.dropped", "Dropped by the host")
f.payload = ProtoField.bytes("ombrel.payload", "Payload")
f.trailing = ProtoField.bytes("ombrel.trailing", "Bytes after the frame")

f.data = ProtoField.bytes("ombrel.data", "Data")

f.line = ProtoField.string("ombrel.config.line", "Line settings")
f.baud = ProtoField.uint32("ombrel.config.baud", "Baud rate")
f.data_bits = ProtoField.uint8("ombrel.config.data_bits", "Data bits")
f.parity = ProtoField.uint8("ombrel.config.parity", "Parity", base.DEC, parity_names)
f.stop_bits = ProtoField.uint8("ombrel.config.stop_bits", "Stop bits", base.DEC, stop_bits_names)
f.config_reserved = ProtoField.uint8("ombrel.config.reserved", "Reserved", base.HEX)

f.control_op = ProtoField.uint8("ombrel.control.op", "Operation", base.DEC, control_names)
f.control_arg = ProtoField.uint8("ombrel.control.arg", "Argument", base.HEX)
f.control_open = ProtoField.uint8("ombrel.control.open", "Handle", base.DEC, open_names)
f.purge_rx = ProtoField.bool("ombrel.control.purge_rx", "Purge receive", 8, nil, 0x01)
f.purge_tx = ProtoField.bool("ombrel.control.purge_tx", "Purge transmit", 8, nil, 0x02)

f.announce_revision = ProtoField.uint8("ombrel.announce.revision", "Revision")
f.announce_ports = ProtoField.uint8("ombrel.announce.ports", "Port count")
f.announce_firmware = ProtoField.string("ombrel.announce.firmware", "Firmware (not examined by the host)")
f.announce_rest = ProtoField.bytes("ombrel.announce.rest", "Further bytes (not examined by the host)")

f.ack_command = ProtoField.uint8("ombrel.ack.command", "Command answered", base.HEX, type_names)
f.ack_status = ProtoField.uint8("ombrel.ack.status", "Status", base.DEC, ack_status_names)
f.ack_accepted = ProtoField.uint16("ombrel.ack.accepted", "Accepted bytes")
f.ack_sent = ProtoField.uint16("ombrel.ack.sent", "Bytes the command sent")
f.ack_extra = ProtoField.bytes("ombrel.ack.extra", "Further bytes (not examined by the host)")
f.nak_command = ProtoField.uint8("ombrel.nak.command", "Command refused", base.HEX, type_names)
f.nak_reason = ProtoField.uint8("ombrel.nak.reason", "Reason (not examined by the host)")

f.response_in = ProtoField.framenum("ombrel.response_in", "Answer in", base.NONE, frametype.RESPONSE)
f.response_to = ProtoField.framenum("ombrel.response_to", "Answer to", base.NONE, frametype.REQUEST)
f.response_time = ProtoField.relative_time("ombrel.response_time", "Time since the command")

local e = {}
local rule_labels = {}  -- expert entry -> its text without the verdict, for the Info column
local function rule(abbrev, text, group, severity)
    e[abbrev] = ProtoExpert.new("ombrel." .. abbrev, text, group, severity)
    rule_labels[e[abbrev]] = text:gsub(": [^:]*$", "")
end
-- Frames dropped whole, in the order the receive dispatch tests them.
rule("short_transfer", "Transfer shorter than the 8-byte header: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("bad_magic", "Magic is not 4F 42: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("bad_version", "Version is not 1: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("length_over_max", "Payload length above 56: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("truncated", "Transfer ends before the payload length: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("trailing_bytes", "Bytes after the frame (one transfer, one frame): dropped", expert.group.MALFORMED,
     expert.severity.ERROR)
rule("type_not_taken", "Type the receiver does not take in this direction: dropped", expert.group.PROTOCOL,
     expert.severity.ERROR)
rule("announce_port", "Announce not on the device port 0xFF: dropped", expert.group.PROTOCOL, expert.severity.ERROR)
rule("announce_short", "Announce payload under 12 bytes: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("announce_revision", "Announce revision is not 1: dropped", expert.group.PROTOCOL, expert.severity.ERROR)
rule("announce_port_count", "Announce port count is not 8: dropped", expert.group.PROTOCOL, expert.severity.ERROR)
rule("ack_short", "ACK payload under 4 bytes: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("nak_short", "NAK payload under 2 bytes: dropped", expert.group.MALFORMED, expert.severity.ERROR)
rule("port_not_channel", "Port is not a channel 0 to 7: dropped", expert.group.PROTOCOL, expert.severity.ERROR)
rule("unmatched_answer", "Answers no command in flight (port or command differs, or none waits): dropped",
     expert.group.PROTOCOL, expert.severity.WARN)
rule("late_answer", "Answer after the host's response time-out: dropped", expert.group.PROTOCOL,
     expert.severity.WARN)
-- Answers the host takes, and what they do to the command.
rule("ack_failure_status", "ACK status other than 0 or 2: the command fails", expert.group.RESPONSE_CODE,
     expert.severity.WARN)
rule("ack_over_sent", "ACK accepts more bytes than the command sent: the command fails", expert.group.PROTOCOL,
     expert.severity.WARN)
rule("ack_not_whole", "ACK takes a set-config or control in part: the command fails", expert.group.PROTOCOL,
     expert.severity.WARN)
rule("ack_none_taken", "ACK takes none of the data: the write fails busy", expert.group.RESPONSE_CODE,
     expert.severity.NOTE)
rule("nak", "NAK: the command fails", expert.group.RESPONSE_CODE, expert.severity.NOTE)
rule("no_answer", "No answer before the host's next frame: the command timed out or ended at power-down",
     expert.group.SEQUENCE, expert.severity.WARN)
ombrel.experts = {}
for _, v in pairs(e) do ombrel.experts[#ombrel.experts + 1] = v end

ombrel.prefs.response_timeout_ms = Pref.uint("Response time-out (ms)", 1000,
    "How long the host waits for an answer, in capture time; 0: no limit. "
    .. "ombrel-demo's captures are in kernel time, so 1000 holds at any --scale.")

local f_bus_id = Field.new("usb.bus_id")
local f_device_address = Field.new("usb.device_address")
local f_endpoint_direction = Field.new("usb.endpoint_address.direction")
local f_irp_direction = Field.new("usb.irp_info.direction")
local f_time = Field.new("frame.time_epoch")

-- Per device (bus and address): from which frame on its transfers are ours,
-- and the one command that may be waiting for an answer. Filled in on the
-- first pass; later passes read only the per-frame records.
local devices = {}
local commands = {}   -- frame number of an answered command -> { answer = frame, closed = bool }
local answers = {}    -- frame number of an ACK or NAK -> { command, type, sent, delay } or { unmatched | late }

function ombrel.init()
    devices, commands, answers = {}, {}, {}
end

local function name_of(names, value)
    return names[value] or string.format("0x%02x", value)
end

local function port_label(port)
    return string.format("port %d (%s)", port, port_names[port] or "no channel")
end

-- "115200 8N1"; an unknown parity or stop-bits code shows as its number.
local function line_text(baud, data_bits, parity, stop_bits)
    return string.format("%d %d%s%s", baud, data_bits, parity_letters[parity] or ("?" .. parity),
                         stop_bits_names[stop_bits] or ("?" .. stop_bits))
end

-- Adds the header fields under `tree`; returns the header's values and items.
local function add_header(tree, tvb)
    local h = {
        magic0 = tvb(0, 1):uint(), magic1 = tvb(1, 1):uint(), version = tvb(2, 1):uint(),
        port = tvb(3, 1):uint(), type = tvb(4, 1):uint(), length = tvb(6, 2):le_uint(),
    }
    h.magic_item = tree:add(f.magic, tvb(0, 2))
    h.version_item = tree:add(f.version, tvb(2, 1))
    h.port_item = tree:add(f.port, tvb(3, 1))
    h.type_item = tree:add(f.type, tvb(4, 1))
    tree:add(f.reserved, tvb(5, 1))
    h.length_item = tree:add_le(f.length, tvb(6, 2))
    return h
end

-- Payload bytes no layout applies to (too few, or of an unknown type).
local function add_raw(tree, payload)
    if payload:len() > 0 then tree:add(f.payload, payload()) end
end

local function decode_set_config(tree, payload, frame)
    if payload:len() < LINE_CONFIG_SIZE then
        add_raw(tree, payload)
        return
    end
    local baud, bits = payload(0, 4):le_uint(), payload(4, 1):uint()
    local parity, stop = payload(5, 1):uint(), payload(6, 1):uint()
    local text = line_text(baud, bits, parity, stop)
    tree:add(f.line, payload(0, LINE_CONFIG_SIZE), text):set_generated()
    tree:add_le(f.baud, payload(0, 4))
    tree:add(f.data_bits, payload(4, 1))
    tree:add(f.parity, payload(5, 1))
    tree:add(f.stop_bits, payload(6, 1))
    tree:add(f.config_reserved, payload(7, 1))
    frame.summary = frame.summary .. ": " .. text
end

local function decode_control(tree, payload, frame)
    if payload:len() < CONTROL_PAYLOAD then
        add_raw(tree, payload)
        return
    end
    local op, arg = payload(0, 1):uint(), payload(1, 1):uint()
    tree:add(f.control_op, payload(0, 1))
    local text = control_names[op] or string.format("operation %d", op)
    if op == CONTROL_OPEN then
        tree:add(f.control_open, payload(1, 1))
        text = arg == 1 and "open" or (arg == 0 and "close" or string.format("open %d", arg))
    elseif op == CONTROL_PURGE then
        local args = tree:add(f.control_arg, payload(1, 1))
        args:add(f.purge_rx, payload(1, 1))
        args:add(f.purge_tx, payload(1, 1))
        local what = {}
        if arg % 2 == 1 then what[#what + 1] = "receive" end
        if math.floor(arg / 2) % 2 == 1 then what[#what + 1] = "transmit" end
        text = "purge " .. (#what > 0 and table.concat(what, " and ") or "nothing")
    elseif op == CONTROL_BREAK then
        tree:add(f.control_arg, payload(1, 1))
        text = "break on"
    else
        tree:add(f.control_arg, payload(1, 1))
    end
    frame.summary = frame.summary .. ": " .. text
end

local function decode_announce(tree, payload, frame)
    if frame.direction == TO_BRIDGE and payload:len() == 0 then
        frame.summary = "Hello"
        return
    end
    local n = payload:len()
    if n >= 1 then tree:add(f.announce_revision, payload(0, 1)) end
    if n >= 2 then tree:add(f.announce_ports, payload(1, 1)) end
    if n >= 4 then
        local firmware = string.format("%d.%d", payload(2, 1):uint(), payload(3, 1):uint())
        tree:add(f.announce_firmware, payload(2, 2), firmware)
        frame.summary = string.format("Announce: revision %d, %d ports, firmware %s", payload(0, 1):uint(),
                                      payload(1, 1):uint(), firmware)
    end
    if n > 4 then tree:add(f.announce_rest, payload(4)) end
end

local function decode_ack(tree, payload, frame)
    if payload:len() < ACK_MIN_PAYLOAD then
        add_raw(tree, payload)
        return
    end
    local command, status = payload(0, 1):uint(), payload(1, 1):uint()
    local accepted = payload(2, 2):le_uint()
    tree:add(f.ack_command, payload(0, 1))
    frame.status_item = tree:add(f.ack_status, payload(1, 1))
    if ack_status_names[status] == nil then frame.status_item:append_text(" (failure)") end
    frame.accepted_item = tree:add_le(f.ack_accepted, payload(2, 2))
    if payload:len() > ACK_MIN_PAYLOAD then tree:add(f.ack_extra, payload(ACK_MIN_PAYLOAD)) end
    frame.answered = command
    frame.ack = { status = status, accepted = accepted }
    frame.summary = string.format("%s, %s: %s, %d accepted", frame.summary, name_of(type_names, command):lower(),
                                  ack_status_names[status] and "success" or string.format("status %d", status),
                                  accepted)
end

local function decode_nak(tree, payload, frame)
    if payload:len() < NAK_MIN_PAYLOAD then
        add_raw(tree, payload)
        return
    end
    local command = payload(0, 1):uint()
    tree:add(f.nak_command, payload(0, 1))
    tree:add(f.nak_reason, payload(1, 1))
    if payload:len() > NAK_MIN_PAYLOAD then tree:add(f.payload, payload(NAK_MIN_PAYLOAD)) end
    frame.answered = command
    frame.summary = string.format("%s, %s: reason %d", frame.summary, name_of(type_names, command):lower(),
                                  payload(1, 1):uint())
end

local function decode_payload(tree, payload, frame)
    local t = frame.header.type
    if t == TYPE_DATA then
        if payload:len() > 0 then tree:add(f.data, payload()) end
        frame.summary = string.format("%s: %d bytes", frame.summary, payload:len())
    elseif t == TYPE_SET_CONFIG then decode_set_config(tree, payload, frame)
    elseif t == TYPE_CONTROL then decode_control(tree, payload, frame)
    elseif t == TYPE_ANNOUNCE then decode_announce(tree, payload, frame)
    elseif t == TYPE_ACK then decode_ack(tree, payload, frame)
    elseif t == TYPE_NAK then decode_nak(tree, payload, frame)
    else add_raw(tree, payload)
    end
end

-- The rules of the receive dispatch past the frame's structure: which types
-- the host takes, on which ports, with how much payload. The bridge's
-- firmware takes data, set-config, control and the hello from the host.
-- Returns the expert entry of the first broken rule, and the item it is on.
local function content_rule(frame, payload_length)
    local h = frame.header
    if frame.direction == TO_BRIDGE then
        if h.type == TYPE_DATA or h.type == TYPE_SET_CONFIG or h.type == TYPE_CONTROL then
            if h.port >= PORT_COUNT then return e.port_not_channel, h.port_item end
            return nil
        end
        if h.type == TYPE_ANNOUNCE and h.port == DEVICE_PORT and payload_length == 0 then return nil end
        return e.type_not_taken, h.type_item
    end
    if h.type == TYPE_ANNOUNCE then
        if h.port ~= DEVICE_PORT then return e.announce_port, h.port_item end
        if payload_length < ANNOUNCE_MIN_PAYLOAD then return e.announce_short, h.length_item end
        if frame.payload(0, 1):uint() ~= ANNOUNCE_REVISION then return e.announce_revision, frame.item end
        if frame.payload(1, 1):uint() ~= PORT_COUNT then return e.announce_port_count, frame.item end
        return nil
    end
    if h.type == TYPE_ACK and payload_length < ACK_MIN_PAYLOAD then return e.ack_short, h.length_item end
    if h.type == TYPE_NAK and payload_length < NAK_MIN_PAYLOAD then return e.nak_short, h.length_item end
    if h.type == TYPE_ACK or h.type == TYPE_NAK or h.type == TYPE_DATA then
        if h.port >= PORT_COUNT then return e.port_not_channel, h.port_item end
        return nil
    end
    return e.type_not_taken, h.type_item
end

local function is_answered_command(port, t)
    return port >= FIRST_ANSWERED_PORT and port < PORT_COUNT and
           (t == TYPE_DATA or t == TYPE_SET_CONFIG or t == TYPE_CONTROL)
end

-- First pass only: the host's one command in flight. A command is armed when
-- it goes out; the next frame the host writes (another command, or the hello
-- at power-up, which clears the slot) ends it, answered or not.
local function track(device, frame, pinfo)
    local h = frame.header
    if frame.direction == TO_BRIDGE then
        local previous = device.in_flight
        if previous then commands[previous.number].closed = true end
        device.in_flight = nil
        if is_answered_command(h.port, h.type) then
            device.in_flight = { number = pinfo.number, port = h.port, type = h.type,
                                 sent = frame.payload:len(), time = f_time().value }
            commands[pinfo.number] = {}
        end
        return
    end
    if h.type ~= TYPE_ACK and h.type ~= TYPE_NAK then return end
    local c = device.in_flight
    if c == nil or c.port ~= h.port or c.type ~= frame.answered then
        answers[pinfo.number] = { unmatched = true }
        return
    end
    local delay = f_time().value - c.time
    local limit = ombrel.prefs.response_timeout_ms
    if limit > 0 and delay:tonumber() * 1000 > limit then
        answers[pinfo.number] = { late = true }
        return
    end
    answers[pinfo.number] = { command = c.number, type = c.type, sent = c.sent, delay = delay }
    commands[c.number].answer = pinfo.number
    commands[c.number].closed = true
    device.in_flight = nil
end

-- What the pairing says about this frame, on every pass.
local function show_pairing(frame, pinfo)
    local tree = frame.item
    local c = commands[pinfo.number]
    if c then
        if c.answer then
            tree:add(f.response_in, c.answer):set_generated()
        elseif c.closed then
            tree:add_proto_expert_info(e.no_answer)
        end
        return
    end
    local a = answers[pinfo.number]
    if a == nil then return end
    if a.unmatched or a.late then
        frame.dropped_by = a.unmatched and e.unmatched_answer or e.late_answer
        tree:add_proto_expert_info(frame.dropped_by)
        return
    end
    tree:add(f.response_to, a.command):set_generated()
    tree:add(f.response_time, a.delay):set_generated()
    if frame.header.type == TYPE_NAK then
        tree:add_proto_expert_info(e.nak)
        return
    end
    tree:add(f.ack_sent, a.sent):set_generated()
    local ack = frame.ack
    if ack_status_names[ack.status] == nil then
        frame.status_item:add_proto_expert_info(e.ack_failure_status)
    elseif ack.accepted > a.sent then
        frame.accepted_item:add_proto_expert_info(e.ack_over_sent)
    elseif a.type ~= TYPE_DATA and ack.accepted ~= a.sent then
        frame.accepted_item:add_proto_expert_info(e.ack_not_whole)
    elseif a.type == TYPE_DATA and a.sent > 0 and ack.accepted == 0 then
        frame.accepted_item:add_proto_expert_info(e.ack_none_taken)
    end
end

-- The structural rules, in the order the receive dispatch tests them; the
-- firmware applies the same ones to the host's frames. Returns the expert
-- entry of the first broken rule and the item it is on, and the payload.
local function structure_rule(tvb, frame)
    local h, len = frame.header, tvb:len()
    if h.magic0 ~= 0x4F or h.magic1 ~= 0x42 then return e.bad_magic, h.magic_item end
    if h.version ~= VERSION then return e.bad_version, h.version_item end
    if h.length > MAX_PAYLOAD then return e.length_over_max, h.length_item end
    if len < HEADER_SIZE + h.length then return e.truncated, h.length_item end
    if len > HEADER_SIZE + h.length then return e.trailing_bytes, frame.trailing_item end
    return nil
end

-- Decodes one transfer's bytes as a frame under `tree`. `device` is nil for
-- a frame found after another in the same transfer: voided with it, it
-- takes no part in the pairing.
local function dissect_frame(tvb, pinfo, tree, direction, device)
    local len = tvb:len()
    local frame = { direction = direction }
    frame.item = tree:add(ombrel, tvb())
    frame.item:add(f.direction, direction):set_generated()
    if len < HEADER_SIZE then
        frame.item:add(f.payload, tvb())
        frame.item:add_proto_expert_info(e.short_transfer)
        frame.item:add(f.dropped, true):set_generated()
        frame.summary = "Short transfer"
        frame.dropped_by = e.short_transfer
        return frame
    end
    frame.header = add_header(frame.item, tvb)
    local h = frame.header
    frame.summary = name_of(type_names, h.type)
    if h.port ~= DEVICE_PORT then frame.summary = frame.summary .. " " .. port_label(h.port) end

    local body = math.min(h.length, len - HEADER_SIZE)
    frame.payload = tvb(HEADER_SIZE, body):tvb()
    local rest
    if len > HEADER_SIZE + h.length and h.length <= MAX_PAYLOAD then
        rest = tvb(HEADER_SIZE + h.length)
        frame.trailing_item = frame.item:add(f.trailing, rest)
    end

    local broken, at = structure_rule(tvb, frame)
    if broken == e.bad_magic then
        frame.item:add(f.payload, tvb(HEADER_SIZE))
    else
        decode_payload(frame.item, frame.payload, frame)
        if broken == nil then broken, at = content_rule(frame, body) end
    end
    if broken then
        at:add_proto_expert_info(broken)
        frame.dropped_by = broken
    elseif device then
        if not pinfo.visited then track(device, frame, pinfo) end
        show_pairing(frame, pinfo)
    end
    -- A second frame in the transfer is shown for what it is.
    if rest and rest:len() >= HEADER_SIZE and rest(0, 2):uint() == 0x4F42 then
        local inner = dissect_frame(rest:tvb(), pinfo, frame.item, direction, nil)
        inner.item:append_text(", a second frame in the transfer: " .. inner.summary)
    end
    frame.item:add(f.dropped, frame.dropped_by ~= nil or device == nil):set_generated()
    return frame
end

local function device_key()
    local bus, address = f_bus_id(), f_device_address()
    return string.format("%s.%s", bus and bus.value or "?", address and address.value or "?")
end

local function looks_like_frame(tvb)
    return tvb:len() >= 3 and tvb(0, 2):uint() == 0x4F42 and tvb(2, 1):uint() == VERSION
end

-- Claims a bulk transfer that starts with the magic and version, and from
-- then on every transfer on the same device, so that frames with a broken
-- header are shown and flagged rather than left as unknown bytes.
local function heuristic(tvb, pinfo, tree)
    if tvb:len() == 0 then return false end
    local dir_field = f_endpoint_direction()
    local direction = (dir_field and dir_field.value == 1) and TO_HOST or TO_BRIDGE
    -- USBPcap: OUT data rides in the submission (FDO to PDO, 0), IN data in
    -- the completion (1); bytes in the other half are not the transfer's.
    local irp = f_irp_direction()
    if irp and irp.value ~= direction then return false end
    local key = device_key()
    local device = devices[key]
    if looks_like_frame(tvb) then
        if device == nil then
            device = { claimed_from = pinfo.number }
            devices[key] = device
        end
    elseif device == nil or pinfo.number < device.claimed_from then
        return false
    end
    local frame = dissect_frame(tvb, pinfo, tree, direction, device)
    local summary = frame.summary
    if frame.dropped_by then summary = summary .. " [dropped: " .. rule_labels[frame.dropped_by] .. "]" end
    frame.item:append_text(", " .. summary)
    pinfo.cols.protocol = "OMBREL"
    pinfo.cols.info = summary
    return true
end

ombrel:register_heuristic("usb.bulk", heuristic)
