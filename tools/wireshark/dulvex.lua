-- Wireshark dissector for the Dulvex terminal link: the stop-and-wait protocol between the
-- Dulvex service and the payment terminal's five applications, UDP ports 33332 to 33336.
--
-- Load it once:  wireshark -X lua_script:dulvex.lua   (or tshark -X lua_script:dulvex.lua)
-- or for good:   copy it into the personal plugins folder (Help > About Wireshark > Folders).
--
-- Display filters: dulvex, dulvex.type == "ACK", dulvex.flags.sync == 1, dulvex.seq == 5,
-- dulvex.cmd == 0x8123, dulvex.app == "Master", _ws.expert.group == "malformed".

local dulvex = Proto("dulvex", "Dulvex terminal link")

local FLAG_SYNC, FLAG_NAK, FLAG_ACK, FLAG_HOST = 0x01, 0x02, 0x04, 0x08
local LINK_HEAD = 4          -- flags, sequence, length
local CMD_RESPONSE = 0x8000  -- a response carries a status word after the command
local MAX_DATA = 600

local APPS = { [33332] = "Master", [33333] = "Fleet", [33334] = "MBCA", [33335] = "Maint", [33336] = "Petro" }

local f = dulvex.fields
f.app = ProtoField.string("dulvex.app", "Application")
f.from = ProtoField.string("dulvex.from", "From")
f.type = ProtoField.string("dulvex.type", "Frame type")
f.flags = ProtoField.uint8("dulvex.flags", "Flags", base.HEX)
f.sync = ProtoField.uint8("dulvex.flags.sync", "SYNC", base.DEC, nil, FLAG_SYNC)
f.nak = ProtoField.uint8("dulvex.flags.nak", "NAK", base.DEC, nil, FLAG_NAK)
f.ack = ProtoField.uint8("dulvex.flags.ack", "ACK", base.DEC, nil, FLAG_ACK)
f.host = ProtoField.uint8("dulvex.flags.host", "HOST (from the service)", base.DEC, nil, FLAG_HOST)
f.reserved = ProtoField.uint8("dulvex.flags.reserved", "Reserved", base.HEX, nil, 0xF0)
f.seq = ProtoField.uint8("dulvex.seq", "Sequence", base.DEC)
f.len = ProtoField.uint16("dulvex.len", "Length", base.DEC)
f.cmd = ProtoField.uint16("dulvex.cmd", "Command", base.HEX)
f.response = ProtoField.uint16("dulvex.cmd.response", "Response", base.DEC, nil, CMD_RESPONSE)
f.status = ProtoField.uint16("dulvex.status", "Status", base.HEX)
f.data = ProtoField.bytes("dulvex.data", "Data")
f.datalen = ProtoField.uint16("dulvex.data.len", "Data length", base.DEC)
f.trailing = ProtoField.bytes("dulvex.trailing", "Bytes after the length")

local e = dulvex.experts
e.short = ProtoExpert.new("dulvex.short", "Frame shorter than its header", expert.group.MALFORMED,
                          expert.severity.ERROR)
e.lying = ProtoExpert.new("dulvex.length_lies", "Length field does not fit the datagram", expert.group.MALFORMED,
                          expert.severity.ERROR)
e.too_long = ProtoExpert.new("dulvex.too_long", "More data than a frame holds", expert.group.MALFORMED,
                             expert.severity.ERROR)
e.undeliverable = ProtoExpert.new("dulvex.undeliverable", "Length below the command and status words",
                                  expert.group.PROTOCOL, expert.severity.WARN)
e.trailing = ProtoExpert.new("dulvex.trailing_bytes", "Bytes after the length", expert.group.PROTOCOL,
                             expert.severity.NOTE)
e.reserved = ProtoExpert.new("dulvex.reserved_flags", "Reserved flag bits set", expert.group.PROTOCOL,
                             expert.severity.WARN)
e.ack_nak = ProtoExpert.new("dulvex.ack_and_nak", "Both ACK and NAK set", expert.group.PROTOCOL,
                            expert.severity.WARN)
e.link_long = ProtoExpert.new("dulvex.link_long", "Link frame longer than 2 bytes", expert.group.PROTOCOL,
                              expert.severity.NOTE)
e.resync = ProtoExpert.new("dulvex.resync", "Resynchronisation", expert.group.SEQUENCE, expert.severity.CHAT)

-- Plain arithmetic instead of a bit library: Wireshark's Lua is 5.1 or 5.2 in older releases
-- and 5.4 in newer ones, and each has its own.
local function has(value, flag) return math.floor(value / flag) % 2 == 1 end

local function app_of(pinfo)
    return APPS[pinfo.dst_port] or APPS[pinfo.src_port] or "?"
end

-- The frame's kind, from its flags alone: a receiver takes any frame with ACK or NAK as a link
-- frame, whatever its length.
local function kind_of(flags)
    local sync = has(flags, FLAG_SYNC)
    if has(flags, FLAG_NAK) then
        if has(flags, FLAG_ACK) then return "ACK+NAK" end
        return sync and "NAK resync" or "NAK"
    end
    if has(flags, FLAG_ACK) then return "ACK" end
    return sync and "data resync" or "data"
end

function dulvex.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    if n == 0 then return 0 end
    pinfo.cols.protocol = "DULVEX"
    local app = app_of(pinfo)
    local root = tree:add(dulvex, tvb(), "Dulvex terminal link, " .. app)
    root:add(f.app, app):set_generated()

    local flags = tvb(0, 1):uint()
    local from = has(flags, FLAG_HOST) and "service" or "terminal"
    root:add(f.from, from):set_generated()
    local ft = root:add(f.flags, tvb(0, 1))
    ft:add(f.sync, tvb(0, 1))
    ft:add(f.nak, tvb(0, 1))
    ft:add(f.ack, tvb(0, 1))
    ft:add(f.host, tvb(0, 1))
    local rf = ft:add(f.reserved, tvb(0, 1))
    if flags >= 0x10 then rf:add_proto_expert_info(e.reserved) end

    local kind = kind_of(flags)
    root:add(f.type, kind):set_generated()
    local info = string.format("%s %s", app, from == "service" and "<- service" or "<- terminal")
    if n < 2 then
        root:add_proto_expert_info(e.short, string.format("Datagram of %d byte: no sequence number", n))
        pinfo.cols.info = info .. " short frame"
        return n
    end
    local seq = tvb(1, 1):uint()
    root:add(f.seq, tvb(1, 1))
    info = string.format("%s %s seq=%d", info, kind, seq)

    if has(flags, FLAG_ACK) or has(flags, FLAG_NAK) then
        if kind == "ACK+NAK" then root:add_proto_expert_info(e.ack_nak) end
        if kind == "NAK resync" then
            root:add_proto_expert_info(e.resync, string.format("Asks for frame %d again with SYNC", seq))
        end
        if n > 2 then
            root:add_proto_expert_info(e.link_long, string.format("Link frame of %d bytes; the rest is ignored", n))
        end
        pinfo.cols.info = info
        return n
    end

    if kind == "data resync" then
        root:add_proto_expert_info(e.resync, string.format("Sets the expected number to %d", seq))
    end
    -- The command word says whether a status word follows; without it, only the command's size
    -- is known to be needed.
    local words = 2
    if n >= LINK_HEAD + 2 and tvb(4, 2):uint() >= CMD_RESPONSE then words = 4 end
    if n < LINK_HEAD + words then
        root:add_proto_expert_info(e.short, string.format("Data frame of %d bytes, its header needs %d", n,
                                                          LINK_HEAD + words))
        pinfo.cols.info = info .. " short frame"
        return n
    end
    local length = tvb(2, 2):uint()
    local lt = root:add(f.len, tvb(2, 2))
    local cmd = tvb(4, 2):uint()
    local ct = root:add(f.cmd, tvb(4, 2))
    ct:add(f.response, tvb(4, 2))
    info = string.format("%s len=%d cmd=0x%04x", info, length, cmd)
    if words == 4 then
        root:add(f.status, tvb(6, 2))
        info = string.format("%s status=0x%04x", info, tvb(6, 2):uint())
    end
    if length < words then
        lt:add_proto_expert_info(e.undeliverable, string.format(
            "Length %d is below the %d bytes of command and status: acknowledged, not delivered", length, words))
        pinfo.cols.info = info
        return n
    end
    if length - words > MAX_DATA then
        lt:add_proto_expert_info(e.too_long, string.format("%d data bytes, at most %d", length - words, MAX_DATA))
    end
    if LINK_HEAD + length > n then
        lt:add_proto_expert_info(e.lying, string.format("Length %d, but only %d bytes follow it", length,
                                                        n - LINK_HEAD))
        if n > LINK_HEAD + words then root:add(f.data, tvb(LINK_HEAD + words)) end
        pinfo.cols.info = info .. " [length lies]"
        return n
    end
    local datalen = length - words
    root:add(f.datalen, datalen):set_generated()
    if datalen > 0 then root:add(f.data, tvb(LINK_HEAD + words, datalen)) end
    if LINK_HEAD + length < n then
        local tt = root:add(f.trailing, tvb(LINK_HEAD + length))
        tt:add_proto_expert_info(e.trailing, string.format("%d bytes after the length, ignored",
                                                           n - LINK_HEAD - length))
    end
    pinfo.cols.info = info
    return n
end

local udp = DissectorTable.get("udp.port")
for port = 33332, 33336 do udp:add(port, dulvex) end
