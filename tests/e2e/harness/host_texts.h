// The texts the server writes at a console or logs, exactly as it does.
#pragma once

constexpr char kStartingText[] = "starting the core...\n";
constexpr char kPromptText[] = "\npress any key to stop the core\n\n";
constexpr char kStoppingText[] = "\nstopping the core...\n\n";
constexpr char kAlreadyRunningText[] = "Quillon is already running.  Stop Quillon first.";
constexpr char kStartedText[] = "Successfully started version 8.6.2.115651";
