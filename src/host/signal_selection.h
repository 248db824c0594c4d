// Which tables and columns one decode call gives: the key of each message's
// table (its name, or "CHANNEL.NAME" where different messages share a name)
// and the signals the caller chose, kept with the multiplexers that select
// them. Functions over a request; they own nothing.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "bus/signal_database.h"

namespace tolvar::host {

// What one decode call decodes: the databases as plain descriptions, and
// the key of each message's table in the result.
struct DecodeRequest {
    bus::DecodeDescription description;
    // Per message of the description (databases in order, then messages):
    // the message's name, or "CHANNEL.NAME" where two different messages of
    // the databases given share a name.
    std::vector<std::string> keys;
};

// A database as the caller gave it: its messages and the channel names it
// was given for (none: every channel).
struct GivenDatabase {
    bus::DatabaseDescription description;
    std::vector<std::string> channel_names;
};

// Moves the databases into request.description, in order, and names every
// message's table in request.keys. A database given for several channels
// that shares a message name with another database is split into one
// database per channel, so that each of its tables has a channel to be
// named by.
void name_tables(std::vector<GivenDatabase>& databases, DecodeRequest& request);

// Keeps, where `signals` is not None, only the chosen signals as columns
// (names "Signal", "Message.Signal" or "KEY.Signal" with a table's key), the
// multiplexers above them as signals that are no columns, and only messages
// with a chosen signal. False with TypeError for a str or a non-str item,
// ValueError naming a signal no message has.
bool select_signals(PyObject* signals, DecodeRequest& request);

}  // namespace tolvar::host
