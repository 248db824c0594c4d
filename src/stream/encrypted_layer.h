// The opener of encrypted layers (type 17): derives the key from the password
// with PBKDF2-HMAC-SHA-256 and decrypts the whole layer with AES-256-GCM into
// memory, keeping it only when the tag verifies. Borrows the source stream and
// the password; the layer stream it returns owns the plaintext.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "stream/container_header.h"
#include "stream/decoded_layer_stream.h"
#include "stream/stream.h"

namespace tolvar::stream {

// Bytes of ciphertext decrypted per cipher call.
constexpr uint64_t kCipherPiece = 16384;

// The decrypted layer, or nothing (no message) when the header is refused,
// the prefix is short, the key derivation or the cipher fails, the source
// fails, or the tag does not verify (a wrong password shows up there).
std::unique_ptr<DecodedLayerStream> open_encrypted(Stream* source, const ContainerHeader* header,
                                                   const uint8_t* password, size_t password_size);

}  // namespace tolvar::stream
