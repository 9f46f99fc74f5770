// Tag-by-tag equality of two messages, shared by the fuzz targets.
#ifndef MSG_COMPARE_H
#define MSG_COMPARE_H

#include <cstring>
#include <string>

#include "vmsg.h"

// Equal ids and types, and equal values bit for bit (floats by their bits,
// so that NaN payloads count).
inline bool sameTag(const VTag* a, const VTag* b) {
    if (a->tagId != b->tagId || a->type != b->type) return false;
    switch (a->type) {
    case VTAG_STRING:
        return static_cast<const VTagString*>(a)->text() == static_cast<const VTagString*>(b)->text();
    case VTAG_UINT8:
        return static_cast<const VTagUInt8*>(a)->getValue() == static_cast<const VTagUInt8*>(b)->getValue();
    case VTAG_UINT16:
        return static_cast<const VTagUInt16*>(a)->getValue() == static_cast<const VTagUInt16*>(b)->getValue();
    case VTAG_UINT32:
    case VTAG_FLOAT:
        return static_cast<const VTagUInt32*>(a)->getValue() == static_cast<const VTagUInt32*>(b)->getValue();
    default: return true;
    }
}

inline bool sameMsg(VMsg& a, VMsg& b) {
    if (a.msgId != b.msgId || a.sequence != b.sequence || a.tagCount() != b.tagCount()) return false;
    a.gotoFirst();
    b.gotoFirst();
    while (VTag* ta = a.getTag()) {
        VTag* tb = b.getTag();
        if (!tb || !sameTag(ta, tb)) return false;
    }
    return true;
}

#endif
