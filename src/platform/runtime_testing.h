// Test seams of the run-time layer: a scripted serial line and a recorder for message boxes.
// Only tests, fuzz targets and the benchmark include this; the program never does.
#ifndef TAMSEL_PLATFORM_RUNTIME_TESTING_H
#define TAMSEL_PLATFORM_RUNTIME_TESTING_H

#include <functional>
#include <string>

// Puts a scripted byte source behind a port number instead of a device. While attached, opening
// the port always succeeds, the bytes fed are what GetInQLen/ComRdByte see, and what the program
// writes is collected (and handed to the responder, if one is set, as each ComWrt happens).
void AttachScriptedLine(int port);
void DetachScriptedLine(int port);
void FeedScriptedLine(int port, const std::string &bytes);
std::string TakeScriptedLineOutput(int port);
void SetScriptedLineResponder(int port, std::function<void(const std::string &written)> responder);

// With a hook set, MessagePopup calls it instead of showing a modal box and returns at once.
// Pass an empty function to show real boxes again.
void SetPopupHook(std::function<void(const std::string &title, const std::string &text)> hook);

#endif
