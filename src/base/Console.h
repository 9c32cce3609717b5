#pragma once

#include <QString>

#include <cstdio>

// Writes text and a line end to stream as UTF-8, at once: the commands'
// output is read line by line by people and scripts as it comes.
void printLine(FILE *stream, const QString &text);
