// Messages for the person using the voice. On Windows these are the voice's
// own windows; in the Linux host they go to whoever hosts the engine (the
// command line prints them on standard error) and never block speaking.
#pragma once

#include <string>

namespace sonvale::ui {

enum class UserWarning {
  VoiceDamaged,    // a voice file is damaged: the voice should be installed again
  NumberTooLarge,  // a number has too many digits to be read as a number
};

// Receives every warning; `detail` says what was found (file, unit, value).
using WarningSink = void (*)(UserWarning warning, const std::string& detail, void* context);

// Sets the process's receiver of warnings; null restores the platform's
// default (showDefaultWarning).
void setWarningSink(WarningSink sink, void* context);

// Tells the user. Returns at once. The default receiver on Linux writes
// "sonvale: HEADLINE (DETAIL)" as one line, the headline in the UI language.
void showWarning(UserWarning warning, const std::string& detail);

// The warning's text in the process's UI language (UTF-8, static storage),
// for receivers that show it themselves.
const char* warningHeadline(UserWarning warning);

// The platform's own receiver, used while no other is set: one line on
// standard error on Linux, the voice's warning window on Windows. Called
// with the receivers' lock held; returns at once.
void showDefaultWarning(UserWarning warning, const std::string& detail);

}  // namespace sonvale::ui
