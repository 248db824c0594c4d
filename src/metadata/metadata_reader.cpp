#include "metadata/metadata_reader.h"

#include <expat.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar::metadata {
namespace {

constexpr std::string_view kCommonProperties = "common_properties";

// Every property path is built from the names of all open elements, so a
// hostile comment with a long name high up and many properties below it would
// need memory and time quadratic in its size. The bytes of all paths built in
// one parse are therefore limited to a generous multiple of the text: a real
// device configuration stays far below it, and a comment that exceeds it is
// refused as a whole.
constexpr uint64_t kPathBudgetFloor = uint64_t{16} << 20;
constexpr uint64_t kPathBudgetPerByte = 16;

// The XML parser takes lengths as int.
constexpr size_t kMaxPiece = size_t{1} << 30;

struct ParserDeleter {
    void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

struct ParseContext {
    XML_Parser parser = nullptr;       // borrowed from read_metadata
    PropertyMap* map = nullptr;        // borrowed: the result being filled
    std::vector<std::string> stack;    // open elements, the document element first
    PropertyNode* target = nullptr;    // borrowed from map: receives character data
    std::string target_key;            // the target's path, to find it again after growth
    std::string path;                  // scratch
    uint64_t path_budget = 0;          // path bytes still allowed
    bool failed = false;
};

void fail(ParseContext& context) {
    context.failed = true;
    context.target = nullptr;
    XML_StopParser(context.parser, XML_FALSE);
}

// First occurrence wins, as for any attribute table; the parser itself already
// refuses an element that repeats an attribute.
const char* attribute(const XML_Char** attributes, std::string_view name) {
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
        if (name == a[0]) return a[1];
    }
    return nullptr;
}

void assign_attribute(std::string& field, const XML_Char** attributes, std::string_view name) {
    if (const char* value = attribute(attributes, name)) field.assign(value);
}

// False when the budget is spent.
bool build_path(ParseContext& context) {
    uint64_t length = 0;
    for (const std::string& name : context.stack) {
        if (name != kCommonProperties) length += name.size() + 1;
    }
    if (length > context.path_budget) return false;
    context.path_budget -= length;

    context.path.clear();
    bool first = true;
    for (const std::string& name : context.stack) {
        if (name == kCommonProperties) continue;
        if (!first) context.path.push_back('.');
        context.path.append(name);
        first = false;
    }
    return true;
}

void add_property(ParseContext& context, const XML_Char** attributes) {
    if (!build_path(context)) {
        fail(context);
        return;
    }
    PropertyMap& map = *context.map;
    const int32_t capacity = map.capacity();
    bool inserted = false;
    PropertyNode* node = map.find_or_insert(context.path, &inserted);
    // Growth moves every node, the current target included (an `e` nested in
    // another one whose path was already taken keeps the outer one's target).
    if (context.target != nullptr && map.capacity() != capacity) {
        context.target = map.find(context.target_key);
    }
    // Present already (the first property of a path wins), or no room for it.
    if (!inserted) return;

    node->name.assign(context.stack.back());
    assign_attribute(node->description, attributes, "description");
    assign_attribute(node->unit, attributes, "unit");
    assign_attribute(node->type, attributes, "type");
    const char* ro = attribute(attributes, "ro");
    node->read_only = ro != nullptr && std::strcmp(ro, "true") == 0;
    context.target = node;
    context.target_key = context.path;
}

void XMLCALL start_element(void* user_data, const XML_Char* element, const XML_Char** attributes) {
    auto& context = *static_cast<ParseContext*>(user_data);
    if (context.failed) return;
    try {
        context.stack.emplace_back(element);
        if (context.stack.size() < 3 || context.stack[1] != kCommonProperties) return;
        const std::string_view name(element);
        const bool is_tree = name == "tree";
        if (!is_tree && name != "e") return;
        // A tree's name stands for it in the paths of everything inside it.
        // Without a "name" attribute the name is empty, as for every other
        // missing attribute: the element and what it holds are kept.
        const char* own_name = attribute(attributes, "name");
        context.stack.back().assign(own_name != nullptr ? own_name : "");
        if (!is_tree) add_property(context, attributes);
    } catch (const std::bad_alloc&) {
        fail(context);
    }
}

void XMLCALL end_element(void* user_data, const XML_Char*) {
    auto& context = *static_cast<ParseContext*>(user_data);
    if (context.failed) return;
    if (!context.stack.empty()) context.stack.pop_back();
    context.target = nullptr;
}

void XMLCALL character_data(void* user_data, const XML_Char* text, int length) {
    auto& context = *static_cast<ParseContext*>(user_data);
    if (context.failed || context.target == nullptr) return;
    std::string& value = context.target->value;
    try {
        value.append(text, static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
        fail(context);
        return;
    }
    // Only spaces are dropped from the front: a value that starts with a tab
    // or a line break keeps it.
    const size_t first = value.find_first_not_of(' ');
    if (first != 0) value.erase(0, first == std::string::npos ? value.size() : first);
}

}  // namespace

PropertyMap read_metadata(const char* text, size_t length) {
    PropertyMap map;
    if (text == nullptr) return map;
    // XML holds no zero byte: one ends the text, and what follows is the
    // padding a writer counted in the block's length.
    if (const void* zero = std::memchr(text, 0, length)) {
        length = static_cast<size_t>(static_cast<const char*>(zero) - text);
    }

    ParserPtr parser(XML_ParserCreate(nullptr));
    if (parser == nullptr) return map;
    ParseContext context;
    context.parser = parser.get();
    context.map = &map;
    context.path_budget = kPathBudgetFloor + kPathBudgetPerByte * static_cast<uint64_t>(length);
    XML_SetUserData(parser.get(), &context);
    XML_SetElementHandler(parser.get(), start_element, end_element);
    XML_SetCharacterDataHandler(parser.get(), character_data);

    // One parse over the whole text, marked final; only a text beyond the
    // parser's int lengths goes in several pieces.
    bool ok = true;
    size_t offset = 0;
    do {
        const size_t piece = length - offset < kMaxPiece ? length - offset : kMaxPiece;
        const bool last = offset + piece == length;
        ok = XML_Parse(parser.get(), text + offset, static_cast<int>(piece), last ? XML_TRUE : XML_FALSE) ==
             XML_STATUS_OK;
        offset += piece;
    } while (ok && offset < length);

    if (!ok || context.failed) map.clear();
    return map;
}

}  // namespace tolvar::metadata
