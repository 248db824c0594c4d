#include "bus/frame.h"

namespace tolvar::bus {

unsigned channel_name(unsigned code, char (&name)[kChannelNameSize]) {
    const bool lin = code >= kLinChannels;
    unsigned number = (lin ? code - kLinChannels : code) % kLinChannels;
    name[0] = lin ? 'L' : 'C';
    name[1] = lin ? 'I' : 'A';
    name[2] = 'N';
    name[3] = ' ';
    char digits[3];
    unsigned count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    unsigned length = 4;
    while (count != 0) name[length++] = digits[--count];
    name[length] = '\0';
    return length;
}

int channel_of_name(const char* text, uint64_t size) {
    if (size < 5 || size > 7 || text[3] != ' ') return -1;
    unsigned base;
    if (text[0] == 'C' && text[1] == 'A' && text[2] == 'N') {
        base = 0;
    } else if (text[0] == 'L' && text[1] == 'I' && text[2] == 'N') {
        base = kLinChannels;
    } else {
        return -1;
    }
    const char* digits = text + 4;
    const uint64_t count = size - 4;
    if (count > 1 && digits[0] == '0') return -1;
    unsigned number = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return -1;
        number = number * 10 + static_cast<unsigned>(digits[i] - '0');
    }
    return number <= 255 ? static_cast<int>(base + number) : -1;
}

}  // namespace tolvar::bus
