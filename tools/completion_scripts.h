// The bash completions of the family's programs, written at build time:
// tag names from the one tag table, options from each program's own
// option table, so that neither can drift from what the program takes.
#ifndef TOOLS_COMPLETION_SCRIPTS_H
#define TOOLS_COMPLETION_SCRIPTS_H

#include <cstdio>

void writeCompletion(FILE* f);          // tagclient: the message words
void writePollCompletion(FILE* f);      // tagpoll: options, then the message words
void writeAgentCompletion(FILE* f);     // tagagent
void writeExporterCompletion(FILE* f);  // tag_exporter
void writeConfCompletion(FILE* f);      // tagconf: commands, their options, tag names

#endif
