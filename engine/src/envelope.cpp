#include "envelope.h"

#include "byte_order.h"
#include "checksum.h"

namespace vxt {

void write_compact_form(const chunk_list& chunks, std::uint32_t payload_type, std::vector<std::uint8_t>& out)
{
    const std::size_t list_bytes = wide_list_length(chunks);
    const auto length = static_cast<std::uint32_t>(list_bytes);
    out.assign(envelope_bytes + list_bytes, 0);
    std::uint8_t* p = out.data();
    store_le32(p + 0, length);
    store_le32(p + envelope_magic_offset, envelope_magic);
    store_le32(p + 8, 0xFFFFFFFF);
    store_le32(p + envelope_payload_type_offset, 0x30000000 | payload_type);
    store_le32(p + 16, 16);
    store_le32(p + envelope_length_copy_offset, length);
    store_le32(p + envelope_length_check_offset, length ^ envelope_length_key);
    write_wide_list(chunks, p + envelope_bytes);
    store_le32(p + envelope_checksum_offset, checksum(out));
}

void write_sample_info_form(sig_sample_info record, const chunk_list& chunks, std::vector<std::uint8_t>& out)
{
    const std::size_t list_bytes = narrow_list_length(chunks);
    record.set_size(static_cast<std::uint32_t>(list_bytes));
    out.assign(sig_sample_info::bytes + list_bytes, 0);
    record.store(out.data());
    write_narrow_list(chunks, out.data() + sig_sample_info::bytes);
}

}  // namespace vxt
