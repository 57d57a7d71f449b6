-- Wireshark dissector for the test unit's protocol on TCP port 6653: 128-byte request frames from
-- the host (register frames 0xF0, command frames 0xF1) and the unit's replies, each matched to the
-- request it answers. Loading it takes port 6653 over from OpenFlow, which Wireshark registers there.
--
-- Install: copy to ~/.local/lib/wireshark/plugins/ (Linux) or %APPDATA%\Wireshark\plugins (Windows),
-- or run tshark -X lua_script:zel.lua.
--
-- The register names and the one-line texts are those of zelctl capture show (src/capture/frame_decode.cpp);
-- tests/tools/capture_test.cpp holds the two together.

local zel = Proto("zel", "ZEL test unit")

local UNIT_PORT = 6653
local REQUEST_SIZE = 128
local PAGE_SIZE = 1024
local BYTES_SHOWN = 16
local EEPROM_BANK = 0x10000

local REGISTER_FRAME = 0xF0
local COMMAND_FRAME = 0xF1
local REGISTER_EEPROM_ADDRESS = 10
local REGISTER_EEPROM_DATA = 11

-- The unit map's register names.
local register_names = {
    [9] = "firmware revision",
    [10] = "EEPROM address",
    [11] = "EEPROM data",
    [16] = "temperature",
    [20] = "board ID",
    [21] = "serial word 0",
    [22] = "serial word 1",
    [23] = "serial word 2",
    [24] = "serial word 3",
    [25] = "serial check",
    [33] = "2x2 switch",
    [34] = "MEMS switch",
    [35] = "LBMM switch",
    [36] = "optical power",
    [37] = "VOA code",
    [38] = "screen control",
}

local SUB_BLOCK, SUB_PAGES, SUB_BYTES = 0x00, 0x02, 0x06

local f = zel.fields
f.type = ProtoField.uint8("zel.type", "Frame type", base.HEX, {[REGISTER_FRAME] = "register frame", [COMMAND_FRAME] = "command frame"})
f.kind = ProtoField.string("zel.kind", "Kind")
f.write = ProtoField.bool("zel.write", "Write")
f.select = ProtoField.uint8("zel.select", "Select", base.DEC)
f.address = ProtoField.uint16("zel.address", "Register address", base.DEC)
f.register = ProtoField.uint16("zel.register", "Register", base.DEC, register_names)
f.value = ProtoField.uint16("zel.value", "Value", base.HEX)
f.eeprom_address = ProtoField.uint32("zel.eeprom_address", "EEPROM address", base.HEX)
f.sub = ProtoField.uint8("zel.sub", "Sub-command", base.HEX)
f.bank = ProtoField.uint8("zel.bank", "Bank", base.DEC)
f.block_address = ProtoField.uint32("zel.block_address", "Block address", base.HEX)
f.count = ProtoField.uint8("zel.count", "Count", base.DEC)
f.block = ProtoField.bytes("zel.block", "Block")
f.reply = ProtoField.bytes("zel.reply", "Reply bytes")
f.status = ProtoField.uint8("zel.status", "Status", base.HEX)
f.reply_to = ProtoField.framenum("zel.reply_to", "Reply to", base.NONE, frametype.REQUEST)
f.reply_in = ProtoField.framenum("zel.reply_in", "Reply in", base.NONE, frametype.RESPONSE)

local tcp_stream = Field.new("tcp.stream")

-- What each conversation has seen so far (first pass): its requests in order, the next one a reply
-- answers, and the EEPROM address each select last wrote.
local streams = {}
-- Per frame, what its PDUs were decoded as on the first pass, so that later passes show the same.
local decoded = {}
local current_frame, pdu_index = -1, 0

local function hex(value, digits)
    return string.format("0x%0" .. digits .. "X", value)
end

local function bytes_text(tvb)
    local n = tvb:len()
    local parts = {tostring(n) .. (n == 1 and " byte:" or " bytes:")}
    for i = 0, math.min(n, BYTES_SHOWN) - 1 do
        parts[#parts + 1] = string.format("%02X", tvb(i, 1):uint())
    end
    if n > BYTES_SHOWN then parts[#parts + 1] = "..." end
    return table.concat(parts, " ")
end

local function decode_request(tvb, state)
    local r = {type = tvb(0, 1):uint(), kind = "unknown"}
    if r.type == REGISTER_FRAME then
        local control = tvb(4, 2):le_uint()
        r.write = bit.band(control, 0x8000) ~= 0
        r.select = bit.band(bit.rshift(control, 11), 0xF)
        r.address = bit.band(control, 0x7FF)
        r.kind = r.write and "register write" or "register read"
        if r.write then r.value = tvb(6, 2):le_uint() end
        if r.select < 2 then
            if r.address == REGISTER_EEPROM_ADDRESS and r.write then
                state.eeprom[r.select] = r.value
            elseif r.address == REGISTER_EEPROM_DATA and state.eeprom[r.select] ~= nil then
                r.eeprom_address = r.select * EEPROM_BANK + state.eeprom[r.select]
            end
        end
        local text = (r.write and "write" or "read") .. " s" .. r.select .. " r" .. r.address
        local name = register_names[r.address]
        if name then text = text .. " (" .. name .. ")" end
        if r.eeprom_address then
            text = text .. " EEPROM[" .. hex(r.eeprom_address, 4) .. "]"
            if r.write then text = text .. " = " .. hex(bit.band(r.value, 0xFF), 2) end
        elseif r.write then
            text = text .. " = " .. hex(r.value, 4)
        end
        r.text = text
    elseif r.type == COMMAND_FRAME then
        r.sub = tvb(1, 1):uint()
        local read = tvb(2, 1):uint() == 0x01
        if r.sub == SUB_BLOCK then
            r.kind = read and "block read" or "block write"
            r.bank = tvb(4, 1):uint()
            r.block_address = tvb(5, 4):le_uint()
            r.text = r.kind .. " bank " .. r.bank .. " address " .. hex(r.block_address, 8)
        elseif r.sub == SUB_PAGES then
            r.kind = "page read"
            r.bank = tvb(2, 1):uint()
            r.count = tvb(3, 1):uint()
            r.text = "page read bank " .. r.bank .. " page " .. r.count
        elseif r.sub == SUB_BYTES then
            r.kind = read and "bytes read" or "bytes write"
            r.count = tvb(3, 1):uint()
            r.block_address = tvb(4, 2):le_uint()
            r.text = r.kind .. " " .. r.count .. " at " .. hex(r.block_address, 4)
        else
            r.kind = "command"
            r.text = "command " .. hex(r.sub, 2)
        end
    else
        r.text = "unknown frame, first byte " .. hex(r.type, 2)
    end
    return r
end

-- The reply length the unit answers a request with (as zel::capture::ExpectedReplyLength).
local function reply_length(r)
    if r == nil then return REQUEST_SIZE end
    if r.kind == "page read" then return PAGE_SIZE end
    if r.kind == "bytes read" then return math.max(r.count, 1) end
    return REQUEST_SIZE
end

local function reply_text(r, tvb)
    local n = tvb:len()
    if r == nil then return "reply without a request, " .. bytes_text(tvb) end
    if r.kind == "register read" or r.kind == "register write" then
        if n < 3 then return "short reply, " .. bytes_text(tvb) end
        local value = tvb(1, 2):le_uint()
        if r.eeprom_address then return "EEPROM[" .. hex(r.eeprom_address, 4) .. "] = " .. hex(bit.band(value, 0xFF), 2) end
        return "-> " .. hex(value, 4)
    elseif r.kind == "block read" then
        return "block " .. hex(r.block_address, 8) .. ", " .. bytes_text(tvb)
    elseif r.kind == "page read" or r.kind == "bytes read" then
        return bytes_text(tvb)
    end
    if n >= 3 and tvb(0, 1):uint() == COMMAND_FRAME then
        local status = tvb(2, 1):uint()
        return "command " .. hex(tvb(1, 1):uint(), 2) .. " status " .. hex(status, 2) .. (status == 0 and " (done)" or "")
    end
    return bytes_text(tvb)
end

local function state_of(pinfo)
    local id = tcp_stream()
    id = id and id.value or 0
    local s = streams[id]
    if s == nil then
        s = {requests = {}, next_reply = 1, eeprom = {}}
        streams[id] = s
    end
    return s
end

local function to_unit(pinfo)
    return pinfo.dst_port == UNIT_PORT
end

-- The next PDU of this frame: decoded now on the first pass, taken from the first pass afterwards.
local function next_pdu(pinfo, decode)
    local list = decoded[pinfo.number]
    if pinfo.visited and list ~= nil and #list > 0 then
        if pdu_index >= #list then pdu_index = 0 end
        pdu_index = pdu_index + 1
        return list[pdu_index]
    end
    local pdu = decode()
    if list == nil then
        list = {}
        decoded[pinfo.number] = list
    end
    list[#list + 1] = pdu
    pdu_index = #list
    return pdu
end

local function get_length(tvb, pinfo, offset)
    if to_unit(pinfo) then return REQUEST_SIZE end
    local list = decoded[pinfo.number]
    if pinfo.visited and list ~= nil then
        local pdu = list[pdu_index + 1] or list[1]
        if pdu and pdu.length then return pdu.length end
    end
    local s = state_of(pinfo)
    return reply_length(s.requests[s.next_reply])
end

local function add_info(pinfo, text)
    local info = tostring(pinfo.cols.info)
    if info == "" then
        pinfo.cols.info:set(text)
    else
        pinfo.cols.info:set(info .. "; " .. text)
    end
end

local function dissect_request(tvb, pinfo, tree)
    local pdu = next_pdu(pinfo, function()
        local s = state_of(pinfo)
        local r = decode_request(tvb, s)
        r.frame = pinfo.number
        r.length = REQUEST_SIZE
        s.requests[#s.requests + 1] = r
        return r
    end)
    local t = tree:add(zel, tvb(), "ZEL request: " .. pdu.text)
    t:add(f.type, tvb(0, 1))
    t:add(f.kind, pdu.kind):set_generated()
    if pdu.type == REGISTER_FRAME then
        t:add(f.write, tvb(4, 2), pdu.write)
        t:add(f.select, tvb(4, 2), pdu.select)
        t:add(f.address, tvb(4, 2), pdu.address)
        t:add(f.register, tvb(4, 2), pdu.address)
        if pdu.write then t:add_le(f.value, tvb(6, 2)) end
        if pdu.eeprom_address then t:add(f.eeprom_address, pdu.eeprom_address):set_generated() end
    elseif pdu.type == COMMAND_FRAME then
        t:add(f.sub, tvb(1, 1))
        if pdu.bank then t:add(f.bank, pdu.bank) end
        if pdu.count then t:add(f.count, pdu.count) end
        if pdu.block_address then t:add(f.block_address, pdu.block_address) end
    end
    if pdu.reply_frame then t:add(f.reply_in, pdu.reply_frame):set_generated() end
    add_info(pinfo, pdu.text)
end

local function dissect_reply(tvb, pinfo, tree)
    local pdu = next_pdu(pinfo, function()
        local s = state_of(pinfo)
        local r = s.requests[s.next_reply]
        s.next_reply = s.next_reply + 1
        if r then r.reply_frame = pinfo.number end
        return {request = r, text = reply_text(r, tvb), length = tvb:len()}
    end)
    local r = pdu.request
    local t = tree:add(zel, tvb(), "ZEL reply: " .. pdu.text)
    if r == nil then
        t:add(f.reply, tvb())
        add_info(pinfo, pdu.text)
        return
    end
    t:add(f.reply_to, r.frame):set_generated()
    t:add(f.kind, r.kind):set_generated()
    if r.type == REGISTER_FRAME then
        t:add(f.write, r.write):set_generated()
        t:add(f.select, r.select):set_generated()
        t:add(f.register, r.address):set_generated()
        if tvb:len() >= 3 then t:add_le(f.value, tvb(1, 2)) end
        if r.eeprom_address then t:add(f.eeprom_address, r.eeprom_address):set_generated() end
    elseif r.kind == "block read" then
        t:add(f.block_address, r.block_address):set_generated()
        t:add(f.block, tvb())
    elseif tvb:len() >= 3 and tvb(0, 1):uint() == COMMAND_FRAME and r.kind ~= "page read" and r.kind ~= "bytes read" then
        t:add(f.sub, tvb(1, 1))
        t:add(f.status, tvb(2, 1))
    else
        t:add(f.reply, tvb())
    end
    add_info(pinfo, pdu.text)
end

local function dissect_pdu(tvb, pinfo, tree)
    pinfo.cols.protocol:set("ZEL")
    if to_unit(pinfo) then
        dissect_request(tvb, pinfo, tree)
    else
        dissect_reply(tvb, pinfo, tree)
    end
    return tvb:len()
end

function zel.dissector(tvb, pinfo, tree)
    if pinfo.number ~= current_frame then
        current_frame = pinfo.number
        pdu_index = 0
        pinfo.cols.info:set("")
    end
    dissect_tcp_pdus(tvb, tree, 1, get_length, dissect_pdu, true)
end

function zel.init()
    streams = {}
    decoded = {}
    current_frame, pdu_index = -1, 0
end

DissectorTable.get("tcp.port"):add(UNIT_PORT, zel)
