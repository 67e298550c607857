// The host's console, as a call sees it: the user's Ctrl-C, and lines printed
// while the call runs. Each host has its own way to both; these run on the
// host's thread only.
#pragma once

namespace boundary {

// Whether the user has asked the host to interrupt (Ctrl-C). Only looks: the
// host itself acts on the interrupt once the call has returned.
bool host_interrupt_pending() noexcept;

// Prints `text` in the host's command window and shows it at once.
void host_print(const char* text);

}  // namespace boundary
