#include <Python.h>

#include "host/signal_selection.h"

#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "host/py_ref.h"

namespace tolvar::host {
namespace {

// One database per channel name, each serving that channel alone.
std::vector<GivenDatabase> split(GivenDatabase& given) {
    std::vector<GivenDatabase> parts;
    for (const std::string& name : given.channel_names) {
        GivenDatabase part{given.description, {name}};
        part.description.every_channel = false;
        part.description.channels.clear();
        for (uint16_t code : given.description.channels) {
            if (name == "CAN " + std::to_string(code)) part.description.channels.push_back(code);
        }
        parts.push_back(std::move(part));
    }
    return parts;
}

// A message with its table's key and which of its signals are chosen.
struct Table {
    bus::MessageDescription* message;
    const std::string* key;
    std::vector<char> chosen;
};

// The request with the chosen signals as columns, the multiplexers above
// them as signals that are no columns, and only messages with a chosen signal.
DecodeRequest narrow(DecodeRequest& request, std::vector<Table>& tables) {
    DecodeRequest narrowed;
    narrowed.description.choices = request.description.choices;
    size_t t = 0;
    for (bus::DatabaseDescription& d : request.description.databases) {
        bus::DatabaseDescription kept{{}, d.every_channel, d.channels};
        for (bus::MessageDescription& m : d.messages) {
            Table& table = tables[t++];
            std::vector<char> needed = table.chosen;
            bool any = false;
            for (char c : table.chosen) any |= c != 0;
            if (!any) continue;
            std::unordered_map<std::string, size_t> index;
            for (size_t i = 0; i < m.signals.size(); ++i) index.emplace(m.signals[i].name, i);
            for (size_t i = 0; i < m.signals.size(); ++i) {
                // Up the multiplexers, at most as many steps as signals (a
                // cycle is the program's to refuse).
                size_t j = i;
                for (size_t step = 0; table.chosen[i] && step < m.signals.size(); ++step) {
                    const auto up = index.find(m.signals[j].multiplexer);
                    if (m.signals[j].multiplexer.empty() || up == index.end()) break;
                    j = up->second;
                    needed[j] = 1;
                }
            }
            bus::MessageDescription slim{m.name, m.frame_id, m.extended, m.j1939, m.length, {}};
            for (size_t i = 0; i < m.signals.size(); ++i) {
                if (!needed[i]) continue;
                slim.signals.push_back(std::move(m.signals[i]));
                slim.signals.back().column = table.chosen[i] != 0;
            }
            kept.messages.push_back(std::move(slim));
            narrowed.keys.push_back(*table.key);
        }
        narrowed.description.databases.push_back(std::move(kept));
    }
    return narrowed;
}

}  // namespace

void name_tables(std::vector<GivenDatabase>& databases, DecodeRequest& request) {
    // Which databases hold each message name.
    std::map<std::string, std::vector<size_t>> holders;
    for (size_t d = 0; d < databases.size(); ++d) {
        for (const bus::MessageDescription& m : databases[d].description.messages) {
            std::vector<size_t>& of = holders[m.name];
            if (of.empty() || of.back() != d) of.push_back(d);
        }
    }
    std::vector<GivenDatabase> tables;
    for (size_t d = 0; d < databases.size(); ++d) {
        bool shares = false;
        for (const bus::MessageDescription& m : databases[d].description.messages) shares |= holders[m.name].size() > 1;
        if (shares && databases[d].channel_names.size() > 1) {
            for (GivenDatabase& part : split(databases[d])) tables.push_back(std::move(part));
        } else {
            tables.push_back(std::move(databases[d]));
        }
    }
    // Names that more than one table carries take their channel; whatever
    // still meets (two messages of one name in one database) is numbered.
    std::unordered_map<std::string, size_t> count;
    for (const GivenDatabase& t : tables) {
        for (const bus::MessageDescription& m : t.description.messages) ++count[m.name];
    }
    std::unordered_map<std::string, size_t> used;
    for (GivenDatabase& t : tables) {
        for (const bus::MessageDescription& m : t.description.messages) {
            std::string key = m.name;
            if (count[m.name] > 1 && !t.channel_names.empty()) key = t.channel_names.front() + "." + m.name;
            const size_t seen = used[key]++;
            if (seen > 0) key += "#" + std::to_string(seen + 1);
            request.keys.push_back(std::move(key));
        }
        request.description.databases.push_back(std::move(t.description));
    }
}

bool select_signals(PyObject* signals, DecodeRequest& request) {
    if (signals == Py_None) return true;
    if (PyUnicode_Check(signals)) {
        PyErr_SetString(PyExc_TypeError, "signals must be an iterable of signal names, not a single str");
        return false;
    }
    std::vector<Table> tables;
    size_t k = 0;
    for (bus::DatabaseDescription& d : request.description.databases) {
        for (bus::MessageDescription& m : d.messages) {
            tables.push_back({&m, &request.keys[k++], std::vector<char>(m.signals.size(), 0)});
        }
    }
    // Marks signal `name` of the tables `fits` accepts; whether any had it.
    auto choose = [&](const std::string& name, auto fits) {
        bool found = false;
        for (Table& t : tables) {
            if (!fits(t)) continue;
            for (size_t i = 0; i < t.message->signals.size(); ++i) {
                if (t.message->signals[i].name == name) t.chosen[i] = found = true;
            }
        }
        return found;
    };
    PyRef iterator(PyObject_GetIter(signals));
    if (!iterator) return false;
    while (PyRef item{PyIter_Next(iterator.get())}) {
        PyRef encoded(PyUnicode_Check(item.get()) ? PyUnicode_AsUTF8String(item.get()) : nullptr);
        if (!encoded) {
            if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_TypeError, "signals: every signal name must be a str");
            return false;
        }
        const std::string name(PyBytes_AsString(encoded.get()), static_cast<size_t>(PyBytes_Size(encoded.get())));
        if (choose(name, [](const Table&) { return true; })) continue;
        const size_t dot = name.rfind('.');
        if (dot != std::string::npos) {
            const std::string owner = name.substr(0, dot);
            if (choose(name.substr(dot + 1), [&](const Table& t) { return t.message->name == owner || *t.key == owner; })) continue;
        }
        PyErr_Format(PyExc_ValueError, "unknown signal '%s': no message of the database has it", name.c_str());
        return false;
    }
    if (PyErr_Occurred() != nullptr) return false;

    request = narrow(request, tables);
    return true;
}

}  // namespace tolvar::host
