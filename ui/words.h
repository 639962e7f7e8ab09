// The words a person reads: the status of a run, what went wrong and what to do, the button's
// title. Composed here alone, from a snapshot and in the user's language, for the console and
// the GTK window alike (the plug-in compiles this file too). Log lines stay English and
// technical; they are not made here.
#pragma once

#include <chrono>
#include <string>

#include "ui/i18n.h"
#include "ui/run_snapshot.h"

namespace bi::ui {

// The status line of a snapshot at `now` (a retry's wait counts down): "Downloading", "The
// server is busy. Trying again in 2 s (attempt 3 of 4)", a failure's words, ... "" when a
// ready run has nothing to say.
std::string statusText(const RunSnapshot& snapshot, std::chrono::steady_clock::time_point now,
                       const Language& language);

// What went wrong and what the person can do about it.
std::string troubleText(const Trouble& trouble, const Language& language);

// The one button: "Cancel" while the run goes on, "Close" once it has failed.
std::string buttonText(const RunSnapshot& snapshot, const Language& language);

// The button beside "Close" after a failure that another attempt may mend.
std::string tryAgainText(const Language& language);

// The expander under a failure ("_Details", with its mnemonic), the button in it that copies
// what it holds, and what it holds: the run's technical lines and the log file that keeps
// them; "" when there is nothing to show.
std::string detailsTitle(const Language& language);
std::string copyTitle(const Language& language);
std::string detailsText(const RunSnapshot& snapshot, const Language& language);

// The status of a download that continues what was already here: "Continuing the download:
// 12.4 MiB of 28.6 MiB were already here"; "" when it began afresh.
std::string resumedText(const RunSnapshot& snapshot, const Language& language);

// Said on the console when a run ends early and its partial archive stays for the next.
std::string nextRunText(const Language& language);

// The English sentence of a refusal, for log lines and the vendor's tools; troubleText says it
// in the user's language.
const char* refusalSentence(Refusal refusal);

// The whole seconds a retry's wait has left, at least 1 while it lasts.
int secondsLeft(const RetryWait& retry, std::chrono::steady_clock::time_point now);

}  // namespace bi::ui
