// Datagram bytes -> decode -> print -> encode -> decode: a datagram that
// decodes prints without fault, encodes back to the very same bytes, and
// decodes again to an equal message. The same bytes read in place by a view
// are refused exactly when the decoder refuses them, and otherwise hold the
// same tags and print the same line, for a terminal or not, said printable
// ASCII only when it is.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "message_text.h"
#include "msg_compare.h"
#include "msg_request.h"
#include "terminal_text.h"

namespace {

// The view's tags against the message's, walked together.
bool sameTags(VMsgView& view, VMsg& m) {
    if (view.msgId != m.msgId || view.sequence != m.sequence || view.tagCount() != m.tagCount()) return false;
    view.gotoFirst();
    m.gotoFirst();
    VTagView v;
    while (VTag* t = m.getTag()) {
        if (!view.getTag(v)) return false;
        VTagString text(v.tagId, v.text.data(), v.text.size());
        VTagUInt32 number(v.tagId, v.number, v.type);
        VTag none(v.tagId, v.type);
        const VTag* same = v.type == VTAG_STRING ? static_cast<const VTag*>(&text)
                           : v.type == VTAG_NONE ? &none
                                                 : &number;
        if (v.tagId != t->tagId || v.type != t->type) return false;
        // Compared by value: a narrow integer's view holds it widened.
        if (v.type == VTAG_UINT8 || v.type == VTAG_UINT16) {
            uint32_t n = v.type == VTAG_UINT8 ? static_cast<VTagUInt8*>(t)->getValue()
                                              : static_cast<VTagUInt16*>(t)->getValue();
            if (n != v.number) return false;
        } else if (!sameTag(same, t)) {
            return false;
        }
    }
    return !view.getTag(v);
}

void checkView(const uint8_t* data, size_t size, VMsg* m) {
    VMsgView view;
    bool accepted = view.parse(data, uint16_t(size));
    if (accepted != (m != nullptr)) abort();
    if (!m) {
        VTagView v;
        if (view.tagCount() != 0 || view.getTag(v)) abort();
        return;
    }
    if (!sameTags(view, *m)) abort();
    for (bool terminal : {false, true}) {
        std::string decoded, inPlace;
        appendMessageText(decoded, m, terminal);
        bool printable = appendMessageText(inPlace, view, terminal);
        if (decoded != inPlace) abort();
        // A line said printable needs no escaping: it must be so.
        if (printable && !isPrintableAscii(std::string_view(inPlace).substr(0, inPlace.size() - 1))) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFF) return 0;
    std::unique_ptr<VMsg> first(VMsg::parseMsg(data, uint16_t(size)));
    checkView(data, size, first.get());
    if (!first) return 0;

    static FILE* sink = fopen("/dev/null", "w");
    MsgRequest printer(MSG_GET);
    printer.out = sink;
    printer.printMsg(first.get());

    std::vector<uint8_t> again(size);
    uint16_t n = first->getMsg(again.data(), uint16_t(size));
    if (n != size || memcmp(again.data(), data, size) != 0) abort();
    std::unique_ptr<VMsg> second(VMsg::parseMsg(again.data(), n));
    if (!second || !sameMsg(*first, *second)) abort();
    return 0;
}
