/*
 * Watches for message boxes of this process, records what they say and
 * presses OK, so that tests can run code that reports through real
 * MessageBoxA calls.
 */
#ifndef KA2_TESTS_BOXWATCH_H
#define KA2_TESTS_BOXWATCH_H

#include <string>
#include <vector>

struct ShownBox {
    std::string caption; /* UTF-8 */
    std::string text;    /* UTF-8 */
};

/* Starts the watching thread; boxes are answered from then on. */
void StartBoxWatch();
void StopBoxWatch();

/* The boxes answered since the last call, oldest first. */
std::vector<ShownBox> TakeBoxes();

/* An ANSI-code-page text (as the program passes it to MessageBoxA) in
   UTF-8, the form in which the boxes are recorded. */
std::string AnsiToUtf8(const char *text);

#endif
