-- Wireshark dissector for the helmet communication unit's block protocol: one 272-byte request on the bulk OUT
-- pipe, one 272-byte answer from the bulk IN pipe.
--
-- Use: wireshark -X lua_script:helmet-unit.lua capture.pcapng (or tshark), or copy this file into the personal Lua
-- plugins folder (Help > About Wireshark > Folders). It decodes captures of link type USBPcap, as the updater
-- writes them (--capture, capture.pcapng beside the trace log) and as users make them on Windows.
--
-- Filters: helmet.block_id, helmet.address, helmet.length, helmet.data, helmet.crc, helmet.crc.status,
-- helmet.step, helmet.image, helmet.answer, helmet.request_in, helmet.response_in, helmet.time, helmet.failure,
-- helmet.expert.* (e.g. `helmet.block_id == BLK_WRITE && helmet.step == "application"`).
--
-- The USB dissector hands a bulk payload to this one once it has seen the unit's device descriptor (vendor and
-- product). Transfers without payload (a timeout, a unit that left, a failed write) never reach a payload
-- dissector: a post-dissector watches those for the units it knows and pairs them with their request.

local VENDOR_ID = 0x7A31
local PRODUCT_IDS = { 0xACDC, 0xACDD }

local BLOCK_SIZE = 272
local HEADER_SIZE = 12 -- id, address, length
local DATA_SIZE = 256
local CRC_OFFSET = 268 -- the CRC covers bytes 0 to 267

-- The block ids (usb/block_requests.h).
local BLK_ACK, BLK_NAK = 1, 2
local BLK_PING, BLK_GET_MODE, BLK_START, BLK_ERASE, BLK_WRITE, BLK_READ = 3, 4, 6, 7, 8, 9
local BLK_FINISH, BLK_RESET, BLK_GET_VERSION, BLK_GET_FLAGS, BLK_GET_HWID = 10, 11, 12, 13, 14

local BLOCK_NAMES = {
    [BLK_ACK] = "BLK_ACK", [BLK_NAK] = "BLK_NAK", [BLK_PING] = "BLK_PING", [BLK_GET_MODE] = "BLK_GET_MODE",
    [BLK_START] = "BLK_START", [BLK_ERASE] = "BLK_ERASE", [BLK_WRITE] = "BLK_WRITE", [BLK_READ] = "BLK_READ",
    [BLK_FINISH] = "BLK_FINISH", [BLK_RESET] = "BLK_RESET", [BLK_GET_VERSION] = "BLK_GET_VERSION",
    [BLK_GET_FLAGS] = "BLK_GET_FLAGS", [BLK_GET_HWID] = "BLK_GET_HWID",
}

-- What the answer's data carries, by request; requests not named here answer with zero data.
local DATA_VERSIONS, DATA_FLAGS, DATA_HWID, DATA_FLASH = 1, 2, 3, 4
local ANSWER_DATA = {
    [BLK_GET_VERSION] = DATA_VERSIONS, [BLK_GET_FLAGS] = DATA_FLAGS, [BLK_GET_HWID] = DATA_HWID,
    [BLK_READ] = DATA_FLASH,
}

-- The slots an image goes to (ui/update_step.h); the step of an update is named by its image.
local IMAGE_NAMES = { [0x20000] = "bootloader copy 1", [0x80000] = "bootloader copy 2", [0x100000] = "application" }
local STEP_DEVICE_QUERY = "device query"
local STEP_VERIFY = "verify"

-- USBD_STATUS values a failed transfer of the updater's captures carries.
local USBD_STATUS_SUCCESS = 0
local USBD_STATUS_NAMES = {
    [0xC0010000] = "cancelled (timeout or abort)",
    [0xC0007000] = "device gone (the unit left)",
    [0xC0000004] = "stalled",
    [0xC0000011] = "device not responding",
}

local helmet = Proto("helmet", "Helmet unit block protocol")

local CRC_BAD, CRC_GOOD, CRC_UNVERIFIED = 0, 1, 2

local pf = {
    block_id = ProtoField.uint32("helmet.block_id", "Block id", base.DEC, BLOCK_NAMES),
    address = ProtoField.uint32("helmet.address", "Address", base.HEX),
    length = ProtoField.uint32("helmet.length", "Length", base.DEC),
    data = ProtoField.bytes("helmet.data", "Data"),
    crc = ProtoField.uint32("helmet.crc", "CRC-32", base.HEX),
    crc_status = ProtoField.uint8("helmet.crc.status", "CRC status", base.DEC,
        { [CRC_BAD] = "Bad", [CRC_GOOD] = "Good", [CRC_UNVERIFIED] = "Unverified" }),
    crc_computed = ProtoField.uint32("helmet.crc.computed", "Computed CRC-32", base.HEX),
    answer = ProtoField.bool("helmet.answer", "Answer"),
    exchange = ProtoField.uint64("helmet.exchange", "Exchange (IRP id)", base.DEC),
    step = ProtoField.string("helmet.step", "Update step"),
    image = ProtoField.string("helmet.image", "Image"),
    request_in = ProtoField.framenum("helmet.request_in", "Answer to frame", base.NONE, frametype.REQUEST),
    response_in = ProtoField.framenum("helmet.response_in", "Answer in frame", base.NONE, frametype.RESPONSE),
    time = ProtoField.relative_time("helmet.time", "Response time"),
    failure = ProtoField.string("helmet.failure", "Failure"),
    written_in = ProtoField.framenum("helmet.written_in", "Written in frame", base.NONE),
    app_version = ProtoField.string("helmet.version.application", "Application version"),
    boot_version = ProtoField.string("helmet.version.bootloader", "Bootloader version"),
    flag_app = ProtoField.uint8("helmet.flags.application", "Application flag"),
    flag_boot1 = ProtoField.uint8("helmet.flags.bootloader1", "Bootloader 1 flag"),
    flag_boot2 = ProtoField.uint8("helmet.flags.bootloader2", "Bootloader 2 flag"),
    hwid = ProtoField.uint32("helmet.hwid", "Hardware id", base.DEC),
}
helmet.fields = {
    pf.block_id, pf.address, pf.length, pf.data, pf.crc, pf.crc_status, pf.crc_computed, pf.answer, pf.exchange,
    pf.step, pf.image, pf.request_in, pf.response_in, pf.time, pf.failure, pf.written_in, pf.app_version,
    pf.boot_version, pf.flag_app, pf.flag_boot1, pf.flag_boot2, pf.hwid,
}

local ex = {
    crc_bad = ProtoExpert.new("helmet.expert.crc_bad", "Bad CRC", expert.group.CHECKSUM, expert.severity.ERROR),
    no_answer = ProtoExpert.new("helmet.expert.no_answer", "No answer", expert.group.RESPONSE_CODE,
        expert.severity.ERROR),
    failed = ProtoExpert.new("helmet.expert.failed", "Transfer failed", expert.group.RESPONSE_CODE,
        expert.severity.ERROR),
    refused = ProtoExpert.new("helmet.expert.refused", "Request refused", expert.group.RESPONSE_CODE,
        expert.severity.ERROR),
    mismatch = ProtoExpert.new("helmet.expert.mismatch", "Answer does not fit its request", expert.group.PROTOCOL,
        expert.severity.ERROR),
    short = ProtoExpert.new("helmet.expert.short", "Short block", expert.group.PROTOCOL, expert.severity.ERROR),
    readback = ProtoExpert.new("helmet.expert.readback", "Flash data differs from the block written",
        expert.group.PROTOCOL, expert.severity.ERROR),
    odd_data = ProtoExpert.new("helmet.expert.odd_data", "Answer data not as the request's answer carries it",
        expert.group.PROTOCOL, expert.severity.WARN),
    unpaired = ProtoExpert.new("helmet.expert.unpaired", "Answer without a request", expert.group.SEQUENCE,
        expert.severity.WARN),
    unknown = ProtoExpert.new("helmet.expert.unknown", "Unknown request", expert.group.PROTOCOL,
        expert.severity.WARN),
    cut = ProtoExpert.new("helmet.expert.cut", "Block cut in the capture", expert.group.UNDECODED,
        expert.severity.NOTE),
    mode = ProtoExpert.new("helmet.expert.mode", "Unit mode", expert.group.RESPONSE_CODE, expert.severity.CHAT),
}
helmet.experts = {
    ex.crc_bad, ex.no_answer, ex.failed, ex.refused, ex.mismatch, ex.short, ex.readback, ex.odd_data, ex.unpaired,
    ex.unknown, ex.cut, ex.mode,
}

-- Only the comment of a frame comes from a field, and only for the tree: fields are there only while a tree is built
-- (not in the first of two passes), so the pairing and the steps are taken from the addresses and the USBPcap header.
local f_comment = Field.new("frame.comment")

-- CRC-32 as zlib computes it (reflected 0xEDB88320, initial and final complement), the CRC of every block. The
-- CRC is kept as four bytes and every XOR of two bytes is a table lookup: no function call per byte, which makes a
-- capture of a whole update (some 70,000 blocks) decode several times faster.
local band, bxor, rshift = bit32.band, bit32.bxor, bit32.rshift
local XOR8 = {} -- [a * 256 + b] = a XOR b
for a = 0, 255 do
    for b = 0, 255 do XOR8[a * 256 + b] = bxor(a, b) end
end
local CRC0, CRC1, CRC2, CRC3 = {}, {}, {}, {} -- the table's entries, byte by byte
for n = 0, 255 do
    local c = n
    for _ = 1, 8 do
        if band(c, 1) ~= 0 then c = bxor(0xEDB88320, rshift(c, 1)) else c = rshift(c, 1) end
    end
    CRC0[n], CRC1[n], CRC2[n], CRC3[n] = band(c, 0xFF), band(rshift(c, 8), 0xFF), band(rshift(c, 16), 0xFF),
        rshift(c, 24)
end

local function crc32(bytes)
    local c0, c1, c2, c3 = 0xFF, 0xFF, 0xFF, 0xFF
    local byte = string.byte
    local length = #bytes
    local whole = length - length % 4
    local n
    for i = 1, whole, 4 do -- four bytes per call of string.byte
        local b1, b2, b3, b4 = byte(bytes, i, i + 3)
        n = XOR8[c0 * 256 + b1]
        c0, c1, c2, c3 = XOR8[c1 * 256 + CRC0[n]], XOR8[c2 * 256 + CRC1[n]], XOR8[c3 * 256 + CRC2[n]], CRC3[n]
        n = XOR8[c0 * 256 + b2]
        c0, c1, c2, c3 = XOR8[c1 * 256 + CRC0[n]], XOR8[c2 * 256 + CRC1[n]], XOR8[c3 * 256 + CRC2[n]], CRC3[n]
        n = XOR8[c0 * 256 + b3]
        c0, c1, c2, c3 = XOR8[c1 * 256 + CRC0[n]], XOR8[c2 * 256 + CRC1[n]], XOR8[c3 * 256 + CRC2[n]], CRC3[n]
        n = XOR8[c0 * 256 + b4]
        c0, c1, c2, c3 = XOR8[c1 * 256 + CRC0[n]], XOR8[c2 * 256 + CRC1[n]], XOR8[c3 * 256 + CRC2[n]], CRC3[n]
    end
    for i = whole + 1, length do
        n = XOR8[c0 * 256 + byte(bytes, i)]
        c0, c1, c2, c3 = XOR8[c1 * 256 + CRC0[n]], XOR8[c2 * 256 + CRC1[n]], XOR8[c3 * 256 + CRC2[n]], CRC3[n]
    end
    return (255 - c0) + (255 - c1) * 0x100 + (255 - c2) * 0x10000 + (255 - c3) * 0x1000000
end

-- The state of one pass over the capture, rebuilt from the first frame on each time the capture is read.
local state

local function reset_state()
    state = {
        frames = {},   -- frame number -> { exchange = ..., role = "request" | "answer" | "failure" }
        pending = {},  -- device key -> the exchange whose answer is still to come
        units = {},    -- device key -> true for every unit of ours seen (by descriptor or payload)
        step = STEP_DEVICE_QUERY,
        image = nil,       -- the image since the last START
        verifying = false, -- the image's verification pass has begun
        last = nil,        -- the last request
        probes = {},       -- requests whose step the next START or query names
        written = {},      -- address -> the last WRITE of the current image there
    }
end
helmet.init = reset_state
reset_state()

local function field_value(extractor)
    local info = extractor()
    return info and info.value
end

-- The unit's side of a USB frame: "bus.device" and whether the frame comes from the unit.
local function usb_side(pinfo)
    local from_unit = tostring(pinfo.src) ~= "host"
    local address = tostring(from_unit and pinfo.src or pinfo.dst)
    return address:match("^(%d+%.%d+)%.") or address, from_unit
end

-- The USBPcap packet header of a frame (link type 249), or nil for any other frame.
local USBPCAP_HEADER = 27
local function usbpcap_header(tvb, pinfo)
    if tvb:len() < USBPCAP_HEADER then return nil end
    if tostring(pinfo.src) ~= "host" and tostring(pinfo.dst) ~= "host" then return nil end
    local length = tvb(0, 2):le_uint()
    if length ~= USBPCAP_HEADER and length ~= USBPCAP_HEADER + 1 then return nil end
    return {
        length = length,
        irp = tvb(2, 8):le_uint64(),
        status = tvb(10, 4):le_uint(),
        completion = band(tvb(16, 1):uint(), 1) ~= 0,
        key = tvb(17, 2):le_uint() .. "." .. tvb(19, 2):le_uint(),
        endpoint = tvb(21, 1):uint(),
        transfer = tvb(22, 1):uint(),
        data_length = tvb(23, 4):le_uint(),
    }
end

local function hex(value) return string.format("0x%08x", value) end

local function block_name(id) return BLOCK_NAMES[id] or ("id " .. id) end

local function seconds_to_nstime(seconds)
    local us = math.floor(seconds * 1e6 + 0.5)
    local whole = math.floor(us / 1e6)
    return NSTime.new(whole, (us - whole * 1e6) * 1000)
end

-- The step of a request, from the requests before it; the probes (PING, GET_MODE) belong to what follows them.
local function step_of(id, address)
    if id == BLK_START then
        state.image = IMAGE_NAMES[address] or ("image at " .. hex(address))
        state.verifying = false
        state.written = {}
        state.step = state.image
        return state.step, true
    elseif id == BLK_GET_VERSION or id == BLK_GET_FLAGS or id == BLK_GET_HWID then
        state.image, state.verifying = nil, false
        state.step = STEP_DEVICE_QUERY
        return state.step, true
    elseif id == BLK_PING or id == BLK_GET_MODE then
        return state.step, false
    elseif id == BLK_READ and state.image ~= nil then
        -- A read right after the write of its block reads that block back; any other read verifies.
        local last = state.last
        if not (last and last.id == BLK_WRITE and last.address == address) then state.verifying = true end
        return state.verifying and STEP_VERIFY or state.image, true
    elseif id == BLK_WRITE or id == BLK_ERASE then
        state.verifying = false
        return state.image or state.step, true
    end
    -- FINISH, RESET and anything else: the image's own step, or the query's.
    return state.image or state.step, true
end

-- First pass over a request: its exchange, its step, and the unanswered request before it.
local function note_request(pinfo, tvb, key)
    local id = tvb(0, 4):le_uint()
    local address = tvb:len() >= 8 and tvb(4, 4):le_uint() or 0
    local length = tvb:len() >= 12 and tvb(8, 4):le_uint() or 0
    local exchange = {
        request = pinfo.number, request_time = pinfo.abs_ts, id = id, address = address, length = length,
        image = state.image,
    }
    local step, settled = step_of(id, address)
    exchange.step, exchange.image = step, state.image
    if settled then
        for _, probe in ipairs(state.probes) do probe.step, probe.image = step, state.image end
        state.probes = {}
    else
        table.insert(state.probes, exchange)
    end
    if id == BLK_READ then exchange.written = state.written[address] end
    if id == BLK_WRITE then
        -- A write cut to its header leaves nothing to compare a read-back with.
        local count = math.min(length, DATA_SIZE)
        state.written[address] = tvb:len() == tvb:reported_len() and tvb:len() >= HEADER_SIZE + count
            and { frame = pinfo.number, data = tvb:raw(HEADER_SIZE, count) } or nil
    end
    if id == BLK_RESET or id == BLK_FINISH then state.verifying = false end
    local before = state.pending[key]
    if before then exchange.after_unanswered = before end
    state.pending[key] = exchange
    state.last = exchange
    state.frames[pinfo.number] = { exchange = exchange, role = "request" }
end

-- First pass over an answer or a failed transfer: the request it answers, the same IRP first, else the open one.
local function note_answer(pinfo, key, role)
    local exchange = state.pending[key]
    if exchange then
        state.pending[key] = nil
        exchange.answer, exchange.answer_time, exchange.answer_role = pinfo.number, pinfo.abs_ts, role
    end
    local record = { exchange = exchange, role = role }
    state.frames[pinfo.number] = record
    return record
end

local function add_exchange_links(tree, record, pinfo)
    local exchange = record.exchange
    if not exchange then return end
    tree:add(pf.step, exchange.step):set_generated()
    if exchange.image then tree:add(pf.image, exchange.image):set_generated() end
    if record.role == "request" then
        if exchange.answer then tree:add(pf.response_in, exchange.answer):set_generated() end
    else
        tree:add(pf.request_in, exchange.request):set_generated()
        tree:add(pf.time, seconds_to_nstime(exchange.answer_time - exchange.request_time)):set_generated()
    end
end

-- The header fields, as far as the capture kept them, and the data and CRC when the whole block is there.
local function add_block_fields(tvb, tree)
    local captured, reported = tvb:len(), tvb:reported_len()
    if captured >= 4 then tree:add_le(pf.block_id, tvb(0, 4)) end
    if captured >= 8 then tree:add_le(pf.address, tvb(4, 4)) end
    if captured >= 12 then tree:add_le(pf.length, tvb(8, 4)) end
    -- A block cut to its header in a bounded capture shows no data: a few bytes of it would pass for all of it.
    if captured > HEADER_SIZE and captured == reported then
        tree:add(pf.data, tvb(HEADER_SIZE, math.min(captured, CRC_OFFSET) - HEADER_SIZE))
    end
    if captured >= BLOCK_SIZE then
        local item = tree:add_le(pf.crc, tvb(CRC_OFFSET, 4))
        local sent = tvb(CRC_OFFSET, 4):le_uint()
        local computed = crc32(tvb:raw(0, CRC_OFFSET))
        item:add(pf.crc_computed, computed):set_generated()
        if sent == computed then
            item:add(pf.crc_status, CRC_GOOD):set_generated()
        else
            item:add(pf.crc_status, CRC_BAD):set_generated()
            item:add_proto_expert_info(ex.crc_bad, string.format("Bad CRC: the block carries %s, its bytes give %s",
                hex(sent), hex(computed)))
        end
        return true
    end
    tree:add(pf.crc_status, CRC_UNVERIFIED):set_generated()
    if captured < reported then
        tree:add_proto_expert_info(ex.cut, string.format("Cut in the capture: %d of %d bytes kept", captured,
            reported))
    elseif reported < BLOCK_SIZE then
        tree:add_proto_expert_info(ex.short, string.format("Short block: %d of %d bytes", reported, BLOCK_SIZE))
    end
    return false
end

local function all_zero(bytes, from)
    local at = bytes:find("[^%z]", from)
    return at == nil, at
end

-- What an answer's data should hold for its request; a complaint names what does not fit.
local function check_answer_data(tvb, tree, exchange)
    local data = tvb:raw(HEADER_SIZE, DATA_SIZE)
    local kind = ANSWER_DATA[exchange.id]
    if kind == DATA_FLASH then
        local written = exchange.written
        if not written then return end
        tree:add(pf.written_in, written.frame):set_generated()
        local count = math.min(#written.data, exchange.length)
        if data:sub(1, count) == written.data:sub(1, count) then return end
        for i = 1, count do
            local got, want = data:byte(i), written.data:byte(i)
            if got ~= want then
                tree:add_proto_expert_info(ex.readback, string.format(
                    "Flash at %s reads 0x%02x, frame %d wrote 0x%02x", hex(exchange.address + i - 1), got,
                    written.frame, want))
                return
            end
        end
    elseif kind == DATA_VERSIONS then
        local application = data:match("^[^%z]*")
        local bootloader = data:sub(#application + 2):match("^[^%z]*") or ""
        tree:add(pf.app_version, tvb(HEADER_SIZE, #application), application)
        tree:add(pf.boot_version, tvb(HEADER_SIZE + math.min(#application + 1, DATA_SIZE - 1), #bootloader),
            bootloader)
        local text = application .. bootloader
        local zero_tail = all_zero(data, #application + #bootloader + 3)
        if text:find("[^%w%.%-_ ]") or not zero_tail then
            tree:add_proto_expert_info(ex.odd_data, "The version texts hold bytes a version text has not")
        end
    elseif kind == DATA_FLAGS then
        tree:add(pf.flag_app, tvb(HEADER_SIZE, 1))
        tree:add(pf.flag_boot1, tvb(HEADER_SIZE + 1, 1))
        tree:add(pf.flag_boot2, tvb(HEADER_SIZE + 2, 1))
        local ok = data:byte(1) <= 1 and data:byte(2) <= 1 and data:byte(3) <= 1 and all_zero(data, 4)
        if not ok then tree:add_proto_expert_info(ex.odd_data, "The flags are bytes of 0 or 1, then zeros") end
    elseif kind == DATA_HWID then
        tree:add_le(pf.hwid, tvb(HEADER_SIZE, 4))
        if not all_zero(data, 5) then
            tree:add_proto_expert_info(ex.odd_data, "Data beyond the hardware id")
        end
    else
        local zero, at = all_zero(data, 1)
        if not zero then
            tree:add_proto_expert_info(ex.odd_data, string.format(
                "Data byte %d is 0x%02x in an answer that carries no data", at - 1, data:byte(at)))
        end
    end
end

-- The answer's id, address and length against its request.
local function check_answer_header(tvb, tree, exchange)
    local captured = tvb:len()
    local id = tvb(0, 4):le_uint()
    if id == BLK_NAK and exchange.id == BLK_GET_MODE then
        tree:add_proto_expert_info(ex.mode, "BLK_NAK to BLK_GET_MODE: the unit runs its bootloader")
    elseif id == BLK_ACK and exchange.id == BLK_GET_MODE then
        tree:add_proto_expert_info(ex.mode, "BLK_ACK to BLK_GET_MODE: the unit runs its application")
    elseif id == BLK_NAK then
        tree:add_proto_expert_info(ex.refused, "The unit refused " .. block_name(exchange.id) .. " (BLK_NAK)")
    elseif id ~= BLK_ACK then
        tree:add_proto_expert_info(ex.mismatch, string.format("Answer id %s to %s: BLK_ACK expected",
            block_name(id), block_name(exchange.id)))
    end
    if captured >= 8 and tvb(4, 4):le_uint() ~= exchange.address then
        tree:add_proto_expert_info(ex.mismatch, string.format("Answer names address %s, the request %s",
            hex(tvb(4, 4):le_uint()), hex(exchange.address)))
    end
    if captured >= 12 and tvb(8, 4):le_uint() ~= exchange.length then
        tree:add_proto_expert_info(ex.mismatch, string.format("Answer names length %d, the request %d",
            tvb(8, 4):le_uint(), exchange.length))
    end
end

local function failure_text(status)
    local comment = field_value(f_comment) -- the updater's own words, when the tree is built
    if comment and comment ~= "" then return comment end
    return USBD_STATUS_NAMES[status] or string.format("USBD status 0x%08x", status)
end

local function info_text(record, id, address, length)
    local exchange = record.exchange
    local text = string.format("%s %s %d", block_name(id), hex(address), length)
    if exchange then text = "[" .. exchange.step .. "] " .. text end
    return text
end

-- An answer too short to hold even its id: paired and flagged all the same.
local function dissect_stub(tvb, pinfo, tree, key)
    if not pinfo.visited then note_answer(pinfo, key, "answer") end
    local record = state.frames[pinfo.number] or { role = "answer" }
    pinfo.cols.protocol = "HELMET"
    local subtree = tree:add(helmet, tvb(), "Helmet unit block protocol, answer")
    subtree:add(pf.answer, true):set_generated()
    add_exchange_links(subtree, record, pinfo)
    subtree:add_proto_expert_info(ex.short, string.format("Short block: %d of %d bytes", tvb:reported_len(),
        BLOCK_SIZE))
    pinfo.cols.info = string.format("Short answer: %d bytes", tvb:reported_len())
    return tvb:len()
end

function helmet.dissector(tvb, pinfo, tree)
    local key, answer = usb_side(pinfo)
    if tvb:len() < 4 then
        if answer and tvb:len() == tvb:reported_len() then return dissect_stub(tvb, pinfo, tree, key) end
        return 0
    end
    state.units[key] = true
    if not pinfo.visited then
        if answer then note_answer(pinfo, key, "answer") else note_request(pinfo, tvb, key) end
    end
    local record = state.frames[pinfo.number] or { role = answer and "answer" or "request" }

    pinfo.cols.protocol = "HELMET"
    local subtree = tree:add(helmet, tvb(), answer and "Helmet unit block protocol, answer"
        or "Helmet unit block protocol, request")
    subtree:add(pf.answer, answer):set_generated()
    local whole = add_block_fields(tvb, subtree)
    add_exchange_links(subtree, record, pinfo)

    local id = tvb(0, 4):le_uint()
    local address = tvb:len() >= 8 and tvb(4, 4):le_uint() or 0
    local length = tvb:len() >= 12 and tvb(8, 4):le_uint() or 0
    local info = info_text(record, id, address, length)
    local exchange = record.exchange

    if answer then
        if exchange then
            check_answer_header(tvb, subtree, exchange)
            if whole and (id == BLK_ACK or id == BLK_NAK) then check_answer_data(tvb, subtree, exchange) end
            info = info .. string.format(" (answer to %s in frame %d, %.1f ms)", block_name(exchange.id),
                exchange.request, (exchange.answer_time - exchange.request_time) * 1000)
        else
            subtree:add_proto_expert_info(ex.unpaired, "No request before this answer is waiting for one")
        end
    else
        if not BLOCK_NAMES[id] or id == BLK_ACK or id == BLK_NAK then
            subtree:add_proto_expert_info(ex.unknown, "Not a request: " .. block_name(id))
        end
        if exchange then
            if pinfo.visited and not exchange.answer then
                -- Known only once the whole capture was read: two passes, or a second look in Wireshark.
                subtree:add_proto_expert_info(ex.no_answer, "No answer: the capture has none to this request")
            elseif not pinfo.visited and exchange.after_unanswered then
                subtree:add_proto_expert_info(ex.no_answer, string.format(
                    "No answer to the request in frame %d before this one", exchange.after_unanswered.request))
            end
        end
    end
    if tvb:len() < tvb:reported_len() then info = info .. " [cut]" end
    pinfo.cols.info = info
    return tvb:len()
end

local product_table = DissectorTable.get("usb.product")
for _, product in ipairs(PRODUCT_IDS) do
    product_table:add(VENDOR_ID * 0x10000 + product, helmet)
end

-- Transfers without payload: a failed read or write (a status, and the updater's comment naming the failure).
local watch = Proto("helmet_status", "Helmet unit transfer status")

-- A device descriptor of one of our units: its frames without payload are watched from now on.
local function note_descriptor(tvb, header)
    local at = header.length
    if header.transfer ~= 2 or not header.completion or header.data_length ~= 18 or tvb:len() < at + 18 then return end
    if tvb(at, 1):uint() ~= 18 or tvb(at + 1, 1):uint() ~= 1 or tvb(at + 8, 2):le_uint() ~= VENDOR_ID then return end
    local product = tvb(at + 10, 2):le_uint()
    for _, known in ipairs(PRODUCT_IDS) do
        if product == known then state.units[header.key] = true end
    end
end

function watch.dissector(tvb, pinfo, tree)
    local header = usbpcap_header(tvb, pinfo)
    if not header then return end
    if header.transfer ~= 3 then
        if not pinfo.visited then note_descriptor(tvb, header) end
        return
    end
    -- Only completions without payload of our units: a failed read, a failed write (a successful write's
    -- completion, in a capture made by USBPcap itself, ends nothing).
    if header.data_length ~= 0 or not header.completion or not state.units[header.key] then return end
    local from_unit = band(header.endpoint, 0x80) ~= 0
    if not pinfo.visited then
        if header.status == USBD_STATUS_SUCCESS and not from_unit then return end
        note_answer(pinfo, header.key, "failure")
    end
    local record = state.frames[pinfo.number]
    if not record or record.role ~= "failure" then return end

    pinfo.cols.protocol = "HELMET"
    local subtree = tree:add(helmet, tvb(0, 0), "Helmet unit block protocol, failed transfer")
    subtree:add(pf.answer, true):set_generated()
    subtree:add(pf.exchange, header.irp):set_generated()
    add_exchange_links(subtree, record, pinfo)
    local text = failure_text(header.status)
    subtree:add(pf.failure, text):set_generated()
    local exchange = record.exchange
    local what = from_unit and "No answer" or "Not sent"
    if exchange then
        subtree:add_proto_expert_info(ex.failed, string.format("%s to %s (frame %d): %s", what,
            block_name(exchange.id), exchange.request, text))
        pinfo.cols.info = string.format("[%s] %s to %s: %s (request in frame %d, %.1f ms)", exchange.step, what,
            block_name(exchange.id), text, exchange.request, (exchange.answer_time - exchange.request_time) * 1000)
    else
        subtree:add_proto_expert_info(ex.failed, what .. ": " .. text)
        pinfo.cols.info = what .. ": " .. text
    end
end

register_postdissector(watch)
