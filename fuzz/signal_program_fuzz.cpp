// Any bytes as a CAN database's shape and a run of frames: databases,
// channels, messages and signals of any position, length, order, type,
// scale, multiplexer tree and value names are compiled (refused with a
// reason, or accepted), then every frame is decoded twice, its payload
// followed once by zeros and once by ones past its length, in a buffer of
// exactly 64 bytes. The two decodings must agree bit for bit, and every
// unmultiplexed integer signal must equal a bit-by-bit reading where the
// frame holds it and be absent where it does not.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/frame.h"
#include "bus/signal_decoder.h"

namespace {

using namespace tolvar::bus;

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint32_t word(int bytes) {
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v = v << 8 | byte();
        return v;
    }
    bool more() const { return at_ < size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

const double kScales[] = {1.0, 0.5, -0.25, 0.1, 1e-3, 100.0, -1.0, 3.0, std::nan("")};
const double kOffsets[] = {0.0, -40.0, 0.5, 1e6, -0.125, 7.0, 0.0, 0.0, std::nan("")};

SignalDescription make_signal(Bytes& in, size_t index, size_t count) {
    SignalDescription s;
    s.name = "s" + std::to_string(index);
    s.start = in.word(2) % 600;  // past 512 now and then: refused
    s.length = in.byte() % 70;
    const uint8_t kind = in.byte();
    s.byte_order = (kind & 1) != 0 ? SignalByteOrder::kBigEndian : SignalByteOrder::kLittleEndian;
    s.type = static_cast<SignalValueType>((kind >> 1) % 3);
    s.scale = kScales[(kind >> 3) % 9];
    s.offset = kOffsets[in.byte() % 9];
    s.column = (kind & 0x80) == 0;
    const uint8_t mux = in.byte();
    if ((mux & 0x80) != 0 && count > 0) {
        // Another signal of the message, itself, or one it lacks.
        s.multiplexer = (mux & 0x40) != 0 ? "missing" : "s" + std::to_string(mux % count);
        for (int r = in.byte() % 4; r > 0; --r) {
            const uint64_t low = in.byte() % 16;
            s.selector.push_back({low, low + in.byte() % 4});
        }
    }
    for (int v = in.byte() % 4; v > 0; --v) s.value_names.push_back({in.byte() % 8u, "v" + std::to_string(in.byte() % 3)});
    return s;
}

DecodeDescription make_description(Bytes& in) {
    DecodeDescription d;
    const uint8_t head = in.byte();
    d.choices = (head & 1) != 0;
    for (int db = 0; db < 1 + (head >> 1) % 3; ++db) {
        DatabaseDescription database;
        const uint8_t channels = in.byte();
        database.every_channel = channels == 0;
        for (int c = 0; c < channels % 4; ++c) database.channels.push_back(static_cast<uint16_t>(in.word(2) % 260));
        for (int m = in.byte() % 6; m > 0; --m) {
            MessageDescription message;
            message.name = "m" + std::to_string(m);
            const uint8_t flags = in.byte();
            message.extended = (flags & 1) != 0;
            message.j1939 = (flags & 2) != 0;
            message.frame_id = in.word(4) & (message.extended ? 0x3FFFFFFFu : 0xFFFu);
            message.length = in.byte() % 70;
            const size_t count = in.byte() % 10;
            for (size_t i = 0; i < count; ++i) message.signals.push_back(make_signal(in, i, count));
            database.messages.push_back(std::move(message));
        }
        d.databases.push_back(std::move(database));
    }
    return d;
}

uint64_t bit_by_bit(const uint8_t* p, uint32_t start, uint32_t length, SignalByteOrder order) {
    uint64_t value = 0;
    uint32_t at = start;
    for (uint32_t k = 0; k < length; ++k) {
        const uint64_t bit = (p[at / 8] >> (at % 8)) & 1u;
        if (order == SignalByteOrder::kLittleEndian) {
            value |= bit << k;
            ++at;
        } else {
            value = value << 1 | bit;
            at = at % 8 == 0 ? at + 15 : at - 1;
        }
    }
    return value;
}

// The unmultiplexed integer value columns of the frame's row, read bit by bit.
void check_row(const DecodeDescription& d, const SignalProgram& program, const SignalDecoder& decoder, int32_t t,
               const uint8_t* payload, unsigned length) {
    const TableInfo& info = program.table(static_cast<size_t>(t));
    const MessageDescription& m = d.databases[info.database].messages[info.message];
    const MessageTable& table = decoder.tables()[static_cast<size_t>(t)];
    const uint64_t row = table.rows() - 1;
    const unsigned available = length < m.length ? length : m.length;
    for (size_t c = 0; c < info.columns.size(); ++c) {
        const SignalDescription& s = m.signals[info.columns[c].signal];
        if (!s.multiplexer.empty() || info.columns[c].kind != ColumnKind::kValue || s.type == SignalValueType::kFloat) continue;
        const uint32_t first = s.byte_order == SignalByteOrder::kBigEndian ? 8 * (s.start / 8) + 7 - s.start % 8 : s.start;
        const double value = table.values(c)[row];
        if ((first + s.length + 7) / 8 > available) {
            if (!is_absent(value)) abort();
            continue;
        }
        uint64_t raw = bit_by_bit(payload, s.start, s.length, s.byte_order);
        double expected = static_cast<double>(raw);
        if (s.type == SignalValueType::kSigned && s.length < 64 && (raw >> (s.length - 1)) != 0) raw |= ~uint64_t{0} << s.length;
        if (s.type == SignalValueType::kSigned) expected = static_cast<double>(static_cast<int64_t>(raw));
        if (!(s.scale == 1.0 && s.offset == 0.0)) {
            const double product = expected * s.scale;
            expected = product + s.offset;
        }
        if (std::memcmp(&value, &expected, sizeof value) != 0 && !(value != value && expected != expected)) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const DecodeDescription description = make_description(in);
    SignalProgram program;
    std::string error;
    if (!SignalProgram::compile(description, program, error)) {
        if (error.empty() || program.table_count() != 0) abort();
        return 0;
    }
    SignalDecoder zeros(program), ones(program);
    std::unique_ptr<uint8_t[]> a(new uint8_t[64]), b(new uint8_t[64]);
    while (in.more()) {
        CanFrameView f;
        f.channel = static_cast<uint16_t>(in.byte() % 4 + ((in.byte() & 0x80) != 0 ? 256 : 0));
        f.flags = in.byte();
        // Mostly the identifier of a message of the first database, so that frames match.
        const auto& messages = description.databases[0].messages;
        const uint8_t pick = in.byte();
        f.arbitration_id = messages.empty() || (pick & 0x80) != 0 ? in.word(4) & 0x1FFFFFFFu
                                                                   : messages[pick % messages.size()].frame_id;
        f.length = static_cast<uint8_t>(in.byte() % 65);
        std::memset(a.get(), 0x00, 64);
        std::memset(b.get(), 0xFF, 64);
        for (unsigned i = 0; i < f.length; ++i) a[i] = b[i] = in.byte();
        f.payload = a.get();
        if (!zeros.append(f)) return 0;
        f.payload = b.get();
        if (!ones.append(f)) return 0;
        const bool extended = (f.flags & (1u << kFlagExtended)) != 0;
        const int32_t t = program.find(f.channel, f.arbitration_id, extended);
        const bool decoded = t >= 0 && (f.flags & ((1u << kFlagRemote) | (1u << kFlagError))) == 0;
        if (decoded) check_row(description, program, zeros, t, a.get(), f.length);
    }
    for (size_t t = 0; t < program.table_count(); ++t) {
        const MessageTable& x = zeros.tables()[t];
        const MessageTable& y = ones.tables()[t];
        if (x.rows() != y.rows()) abort();
        for (size_t c = 0; c < x.column_count(); ++c) {
            const size_t width = x.kind(c) == ColumnKind::kValue ? 8 : 4;
            if (x.rows() != 0 && std::memcmp(x.columns()[c], y.columns()[c], x.rows() * width) != 0) abort();
        }
    }
    return 0;
}
