// Tag words from the command line: NAME=value becomes a typed tag, and a name
// outside the vocabulary joins the error line instead.
#include <cstring>

#include "msg_request.h"
#include "output_lines.h"
#include "tag_convert.h"

bool MsgRequest::splitTagArg(char* word, char** name, char** value) {
    *name = word;
    char* eq = strchr(word, '=');
    if (eq) *eq = '\0';
    *value = eq ? eq + 1 : nullptr;
    return true;
}

// Appends one formatted entry to errorText. snprintf cuts an entry that does
// not fit, so the line ends at 1023 characters at most and stays one line.
void MsgRequest::appendError(const char* format, const char* name) {
    size_t used = strlen(errorText);
    if (used + 1 >= sizeof errorText) return;
    snprintf(errorText + used, sizeof errorText - used, format, name);
}

bool MsgRequest::addTagArg(char* word) {
    char* name;
    char* value;
    splitTagArg(word, &name, &value);
    if (const TagEntry* entry = tagByName(name)) {
        // A bare name of a value-taking kind converts as the empty text would.
        msg->addTag(makeTag(*entry, value));
    } else if (!errorFlag) {
        errorText[0] = '\0';
        appendError(lines::FIRST_BAD_TAG, name);
        errorFlag = true;
    } else {
        appendError(lines::NEXT_BAD_TAG, name);
    }
    return !errorFlag;
}
