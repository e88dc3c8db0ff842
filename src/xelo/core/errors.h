// Error codes, the result record read by the graphical front end, and the
// two ways of asking the user whether to go on.
#pragma once
#include <optional>
#include <string>

namespace XELO {

struct Options;

// Answer of the last yes/no question.
extern bool continueConfirmed;
// The program runs under the graphical front end (XELO_GUI_ENVIRONMENT).
extern bool guiEnvironment;
// --yes: every question whether to go on is answered "y" at once, and
// standard input (or the front end's reply file) is never read for it.
extern bool answerYes;

// Prints `question` followed by the answer "y" that --yes gives, and logs it.
void answerQuestionYes(const std::string& question);

// Message of an error code; "Unknown error" for a code without one. The
// messages of a few codes name a file of the run (the zip or ISO in question,
// the working directory), taken from `options`; the one-argument form is for
// codes whose message names none.
std::string errorMessage(int code, const Options& options);
std::string errorMessage(int code);

// Replaces the result record with <CLIERROR><CODE>..</CODE>...</CLIERROR>.
// A file that cannot be written is skipped silently.
void writeCliError(int code, const std::string& message, int step);

// The uniform way a run ends in failure: logs `logPrefix` + `text` at level
// Error, prints `text`, records it with `code` and returns `code`.
int failWith(int code, const std::string& text, const std::string& logPrefix);

// Maps a download result of the acquisition library to an error code.
int acquisitionCode(int result);

// How the console question was answered. `NoAnswer`: standard input ended
// before a "y" or "n" (cron, CI, a closed pipe); nobody said no, so the
// caller ends the run with the code of the condition that asked.
enum class Answer { Yes, No, NoAnswer };

// Console question "Are you sure you want to continue?(y or n)". A "n"
// records code 0 "User confirms to stop!"; end of input records nothing.
Answer askContinue();

// askContinue() answered "y".
bool confirmContinue();

// Asks the console question and tells how the run goes on: nothing for "y",
// status 0 for "n", and for no answer the failure `code` with `text`, already
// reported through failWith.
std::optional<int> continueOrFail(int code, const std::string& text, const std::string& logPrefix);

// Waits for the front end's reply file (CONTINUE or STOP).
bool waitGuiConfirm();

// Deletes the front end's reply file.
void removeGuiConfirm();

// Path of the front end's reply file for yes/no questions.
std::string guiConfirmPath();

}  // namespace XELO
