-- The hand-written part of the tag protocol dissector. The build appends it
-- to the tag table (TAG_TABLE, GENERATOR_VERSION) that gen_tag_files writes
-- from tag_table.def, giving tagproto.lua.
--
-- Parsing (parse_datagram) only reads bytes and returns a plain table; tree
-- building (show_*) only reads that table. Every read is checked against the
-- length first, so no bytes can make the parser raise an error.

set_plugin_info({
    version = GENERATOR_VERSION,
    description = "Dissector for the tag protocol of tagclient and tagagent",
})

local PORT = 60000
local HEADER_SIZE = 5
local FORMAT = 1
local DATAGRAM_LIMIT = 1024
local LAST_SEGMENT = 128 -- the sequence byte's top bit

local MSG_NAMES = { [0] = "SET", [1] = "GET", [2] = "ERR", [3] = "EVT", [4] = "DEL", [5] = "REP" }
local MSG_GET, MSG_ERR = 1, 2

-- Type code: name, and payload size (nil for a string, which carries its own).
local TYPES = {
    [0] = { "none", 0 },
    [1] = { "string", nil },
    [2] = { "uint32", 4 },
    [3] = { "uint16", 2 },
    [4] = { "uint8", 1 },
    [6] = { "float", 4 },
}
local TYPE_NAMES = {}
for code, t in pairs(TYPES) do TYPE_NAMES[code] = t[1] end

local TAG_NAMES, FLOAT_TAG = {}, {}
for id, row in pairs(TAG_TABLE) do
    TAG_NAMES[id] = row[1]
    FLOAT_TAG[id] = row[2] == "Float"
end

local tagproto = Proto("tagproto", "Tag protocol")

local F = {
    format = ProtoField.uint8("tagproto.format", "Format", base.DEC),
    msgid = ProtoField.uint8("tagproto.msgid", "Message", base.DEC, MSG_NAMES),
    sequence = ProtoField.uint8("tagproto.sequence", "Sequence", base.DEC, nil, 0x7F),
    last = ProtoField.bool("tagproto.last", "Last segment", 8, nil, 0x80),
    tagcount = ProtoField.uint16("tagproto.tagcount", "Tag count", base.DEC),
    tag = ProtoField.none("tagproto.tag", "Tag"),
    tag_id = ProtoField.uint8("tagproto.tag.id", "Id", base.DEC),
    tag_name = ProtoField.string("tagproto.tag.name", "Name"),
    tag_type = ProtoField.uint8("tagproto.tag.type", "Type", base.DEC, TYPE_NAMES),
    tag_length = ProtoField.uint16("tagproto.tag.length", "String length", base.DEC),
    tag_uint8 = ProtoField.uint8("tagproto.tag.uint8", "Value", base.HEX),
    tag_uint16 = ProtoField.uint16("tagproto.tag.uint16", "Value", base.HEX),
    tag_uint32 = ProtoField.uint32("tagproto.tag.uint32", "Value", base.HEX),
    tag_float = ProtoField.float("tagproto.tag.float", "Value"),
    tag_string = ProtoField.string("tagproto.tag.string", "Value"),
    tag_value = ProtoField.string("tagproto.tag.value", "Value as tagclient prints it"),
    response_in = ProtoField.framenum("tagproto.response_in", "Reply segment in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("tagproto.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("tagproto.time", "Time since request"),
    trailing = ProtoField.bytes("tagproto.trailing", "Bytes after the last tag"),
}
local field_list = {}
for _, f in pairs(F) do field_list[#field_list + 1] = f end
tagproto.fields = field_list

-- One expert item per way a datagram can fail to decode, in the decoder's
-- order; `long` is the protocol's datagram limit, which the decoder itself
-- does not enforce but receivers' buffers do.
local FAULT_TEXT = {}
local function malformed(abbr, text, severity)
    local e = ProtoExpert.new("tagproto." .. abbr, text, expert.group.MALFORMED, severity or expert.severity.ERROR)
    FAULT_TEXT[e] = text
    return e
end
local E = {
    short = malformed("short", "Shorter than the 5-byte header"),
    format = malformed("format", "Format byte is not 1"),
    count = malformed("count", "Tag count needs more bytes than the datagram holds"),
    type = malformed("type", "Unknown tag type code"),
    cut = malformed("cut", "Tag runs past the end of the datagram"),
    nul = malformed("nul", "String holds a 0x00 byte"),
    trailing = malformed("trailing", "Bytes left over after the counted tags"),
    long = malformed("long", "Longer than the 1024-byte datagram limit", expert.severity.WARN),
}
-- Not a fault of the datagram: the capture kept only its first bytes.
E.truncated = ProtoExpert.new("tagproto.truncated", "Capture holds only part of the datagram",
    expert.group.UNDECODED, expert.severity.NOTE)
FAULT_TEXT[E.truncated] = "Capture holds only part of the datagram"
tagproto.experts = { E.short, E.format, E.count, E.type, E.cut, E.nul, E.trailing, E.long, E.truncated }

-- Parsing -----------------------------------------------------------------

-- The tag at offset, or nil and the fault with where it lies.
local function parse_tag(tvb, offset, size)
    local left = size - offset
    if left < 2 then return nil, { E.cut, offset, left } end
    local tag = { offset = offset, id = tvb(offset, 1):uint(), type = tvb(offset + 1, 1):uint() }
    local t = TYPES[tag.type]
    if not t then return nil, { E.type, offset + 1, 1 }, tag end
    local payload = t[2]
    if payload then
        if left < 2 + payload then return nil, { E.cut, offset, left }, tag end
        tag.size = 2 + payload
        return tag
    end
    if left < 4 then return nil, { E.cut, offset, left }, tag end
    tag.length = tvb(offset + 2, 2):uint()
    if left < 4 + tag.length then return nil, { E.cut, offset, left }, tag end
    tag.size = 4 + tag.length
    return tag
end

-- Whether a string's bytes hold a 0x00; offset of the first one.
local function find_nul(tvb, offset, length)
    if length == 0 then return nil end
    local at = tvb(offset, length):raw():find("\0", 1, true)
    return at and offset + at - 1
end

-- The datagram as a table: header fields, the tags that decoded, and the
-- first fault as { expert, offset, length } (nil when the datagram is valid).
-- Lengths are checked against the datagram's real length; bytes the capture
-- did not keep are only ever reported as missing from the capture.
local function parse_datagram(tvb)
    local size, full = tvb:len(), tvb:reported_len()
    local msg = { size = size, full = full, tags = {} }
    if size < HEADER_SIZE then
        msg.fault = { full < HEADER_SIZE and E.short or E.truncated, 0, size }
        return msg
    end
    msg.format = tvb(0, 1):uint()
    msg.msgid = tvb(1, 1):uint()
    msg.seqbyte = tvb(2, 1):uint()
    msg.count = tvb(3, 2):uint()
    if msg.format ~= FORMAT then
        msg.fault = { E.format, 0, 1 }
        return msg
    end
    if msg.count * 2 > full - HEADER_SIZE then
        msg.fault = { E.count, 3, 2 }
        return msg
    end
    local offset = HEADER_SIZE
    for _ = 1, msg.count do
        local tag, fault, partial = parse_tag(tvb, offset, size)
        if not tag then
            if fault[1] == E.cut and full > size then fault[1] = E.truncated end
            msg.fault, msg.partial = fault, partial
            return msg
        end
        msg.tags[#msg.tags + 1] = tag
        offset = offset + tag.size
        if tag.length then
            local nul = find_nul(tvb, offset - tag.length, tag.length)
            if nul and not msg.fault then
                -- The structure still holds: the rest is shown, the datagram marked.
                msg.fault = { E.nul, nul, 1 }
                tag.fault = msg.fault
            end
        end
    end
    if offset < full and not msg.fault then msg.fault = { E.trailing, offset, math.max(0, size - offset) } end
    msg.trailing = offset < size and offset or nil
    return msg
end

-- Cheap test for the heuristic: the header and the tags' sizes account for
-- exactly the datagram's bytes.
local function looks_like_ours(tvb)
    local size = tvb:len()
    if size < HEADER_SIZE or tvb(0, 1):uint() ~= FORMAT then return false end
    local count = tvb(3, 2):uint()
    if count * 2 > size - HEADER_SIZE then return false end
    local offset = HEADER_SIZE
    for _ = 1, count do
        local tag = parse_tag(tvb, offset, size)
        if not tag then return false end
        offset = offset + tag.size
    end
    return offset == size
end

-- What tagclient prints -----------------------------------------------------

-- Bytes a terminal would not show, 0x00 among them, written \xNN.
local function escape(raw)
    return (raw:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end))
end

-- tagclient keeps a value on its line and inside its quotes.
local function printable(raw)
    return escape((raw:gsub("[\t\n\r]", " "):gsub('"', "'")))
end

-- The value as tagclient prints it (nil for a tag without one), and the
-- typed field with its range.
local function tag_value(tvb, tag)
    local at = tag.offset + 2
    if tag.type == 1 then
        local r = tag.length > 0 and tvb(at + 2, tag.length) or nil
        return printable(r and r:raw() or ""), F.tag_string, r
    elseif tag.type == 2 then
        local r = tvb(at, 4)
        if FLOAT_TAG[tag.id] then return string.format("%f", r:float()), F.tag_float, r end
        return string.format("%08X", r:uint()), F.tag_uint32, r
    elseif tag.type == 3 then
        local r = tvb(at, 2)
        return string.format("%04X", r:uint()), F.tag_uint16, r
    elseif tag.type == 4 then
        local r = tvb(at, 1)
        return string.format("%02X", r:uint()), F.tag_uint8, r
    elseif tag.type == 6 then
        local r = tvb(at, 4)
        return string.format("%f", r:float()), F.tag_float, r
    end
end

-- The tag as one word of tagclient's reply line.
local function tag_word(tag, value)
    local name = TAG_NAMES[tag.id]
    if not name then return "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=" .. tag.id end
    if not value then return name end
    if tag.type == 1 then value = '"' .. value .. '"' end
    return name .. "=" .. value
end

-- Request and reply linking -----------------------------------------------

-- Filled on the first pass and read on every later one: which endpoint of
-- each pair is the agent, open GET requests by endpoint pair and sequence
-- number, and what each frame links to.
local state

local function reset_state()
    state = { agents = {}, open = {}, frames = {} }
end
reset_state()
tagproto.init = reset_state

-- The agent is the side on the protocol's port, or else the side the first
-- GET went to. A GET to the agent opens a request (a newer one with the
-- same number replaces it: numbers wrap at 128); a GET or ERR from the agent
-- with that number is a segment of its reply, and the one flagged last
-- closes it.
local function record_exchange(pinfo, msg)
    local from = tostring(pinfo.src) .. ":" .. pinfo.src_port
    local to = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    local pair = from < to and from .. " " .. to or to .. " " .. from
    local agent = state.agents[pair]
    if not agent then
        if pinfo.src_port == PORT and pinfo.dst_port ~= PORT then
            agent = from
        elseif pinfo.dst_port == PORT or msg.msgid == MSG_GET then
            agent = to
        else
            return
        end
        state.agents[pair] = agent
    end
    local key = pair .. "#" .. msg.seqbyte % LAST_SEGMENT
    if to == agent then
        if msg.msgid ~= MSG_GET then return end
        local request = { frame = pinfo.number, time = pinfo.rel_ts, replies = {} }
        state.open[key] = request
        state.frames[pinfo.number] = { request = request }
        return
    end
    local request = state.open[key]
    if request and (msg.msgid == MSG_GET or msg.msgid == MSG_ERR) then
        request.replies[#request.replies + 1] = pinfo.number
        state.frames[pinfo.number] = { reply_to = request }
        if msg.seqbyte >= LAST_SEGMENT then state.open[key] = nil end
    end
end

local function show_links(tree, pinfo)
    local link = state.frames[pinfo.number]
    if not link then return end
    if link.request then
        for _, frame in ipairs(link.request.replies) do
            tree:add(F.response_in, frame):set_generated()
        end
    else
        local request = link.reply_to
        tree:add(F.request_in, request.frame):set_generated()
        local delta = pinfo.rel_ts - request.time
        local secs = math.floor(delta)
        tree:add(F.time, NSTime.new(secs, math.floor((delta - secs) * 1e9 + 0.5))):set_generated()
    end
end

-- Tree building -----------------------------------------------------------

local function show_fault(tvb, tree, fault)
    local e, offset, length = fault[1], fault[2], fault[3]
    if length > 0 then
        tree:add_tvb_expert_info(e, tvb(offset, length))
    else
        tree:add_proto_expert_info(e)
    end
end

local function show_tag(tvb, tree, tag)
    local value, field, range = nil, nil, nil
    if tag.size then value, field, range = tag_value(tvb, tag) end
    local word = tag_word(tag, value)
    local item = tree:add(F.tag, tvb(tag.offset, tag.size or 2)):set_text(word)
    item:add(F.tag_id, tvb(tag.offset, 1))
    local name = TAG_NAMES[tag.id]
    if name then item:add(F.tag_name, tvb(tag.offset, 1), name):set_generated() end
    item:add(F.tag_type, tvb(tag.offset + 1, 1))
    if tag.length then item:add(F.tag_length, tvb(tag.offset + 2, 2)) end
    if field == F.tag_string then
        -- Given as text: Wireshark's own string decoding would stop at a 0x00.
        item:add(field, range or tvb(tag.offset + 2, 2), range and escape(range:raw()) or "")
    elseif field then
        item:add(field, range)
    end
    if value then item:add(F.tag_value, range or tvb(tag.offset + 2, 2), value):set_generated() end
    return item, word
end

local function show_header(tvb, tree, msg)
    if msg.format == nil then return end
    tree:add(F.format, tvb(0, 1))
    tree:add(F.msgid, tvb(1, 1))
    tree:add(F.sequence, tvb(2, 1))
    tree:add(F.last, tvb(2, 1))
    tree:add(F.tagcount, tvb(3, 2))
end

local function info_text(msg, words)
    if msg.format == nil then return "[" .. FAULT_TEXT[msg.fault[1]] .. "]" end
    local text = (MSG_NAMES[msg.msgid] or ("MSG " .. msg.msgid)) .. " seq=" .. (msg.seqbyte % LAST_SEGMENT)
    if msg.seqbyte >= LAST_SEGMENT then text = text .. " last" end
    text = text .. ":"
    if #words > 0 then text = text .. " " .. table.concat(words, " ") end
    if msg.fault then
        local kind = msg.fault[1] == E.truncated and "" or "Malformed: "
        text = text .. " [" .. kind .. FAULT_TEXT[msg.fault[1]] .. "]"
    end
    return text
end

local function dissect(tvb, pinfo, root)
    local msg = parse_datagram(tvb)
    pinfo.cols.protocol = "TAGPROTO"
    local tree = msg.size > 0 and root:add(tagproto, tvb()) or root:add(tagproto)
    show_header(tvb, tree, msg)
    local words, shown = {}, nil
    for _, tag in ipairs(msg.tags) do
        local item, word = show_tag(tvb, tree, tag)
        words[#words + 1] = word
        if tag.fault then
            show_fault(tvb, item, tag.fault)
            shown = tag.fault
        end
    end
    if msg.partial then
        local item = tree:add(F.tag, tvb(msg.partial.offset, math.min(2, msg.size - msg.partial.offset)))
        item:set_text("Tag " .. (#msg.tags + 1) .. " (undecodable)")
        item:add(F.tag_id, tvb(msg.partial.offset, 1))
        item:add(F.tag_type, tvb(msg.partial.offset + 1, 1))
    end
    if msg.trailing then tree:add(F.trailing, tvb(msg.trailing)) end
    if msg.fault and msg.fault ~= shown then
        show_fault(tvb, tree, msg.fault)
    end
    if msg.full > DATAGRAM_LIMIT then tree:add_proto_expert_info(E.long) end
    if not msg.fault and not pinfo.visited then record_exchange(pinfo, msg) end
    show_links(tree, pinfo)
    pinfo.cols.info = info_text(msg, words)
end

function tagproto.dissector(tvb, pinfo, root)
    dissect(tvb, pinfo, root)
    return tvb:len()
end

local function heuristic(tvb, pinfo, root)
    if not looks_like_ours(tvb) then return false end
    dissect(tvb, pinfo, root)
    -- Later datagrams between the same endpoints come straight here.
    pinfo.conversation = tagproto
    return true
end

DissectorTable.get("udp.port"):add(PORT, tagproto)
tagproto:register_heuristic("udp", heuristic)
