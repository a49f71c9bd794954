#include "filetypes/jpeg_check.h"

#include "filetypes/format_support.h"

#ifdef SNAPSAVE_HAVE_LIBJPEG
#include <algorithm>
#include <csetjmp>
#include <cstdio>  // jpeglib.h uses FILE without including it

#include <jerror.h>
#include <jpeglib.h>

namespace snapsave {
namespace {

// libjpeg reports errors through callbacks that must not return; they jump back to the decode. Everything the
// decode keeps lives in this state, outside the function that sets the jump, so nothing is lost by it.
struct DecodeState {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  jpeg_source_mgr source{};
  std::jmp_buf jump{};
  FileBytes* file = nullptr;
  uint64_t next = 0;  // offset of the first byte not yet handed to the decoder
  uint64_t end = 0;
  bool created = false;
  bool ranOut = false;  // the decoder asked for bytes past the end
  bool damaged = false;
  bool unjudged = false;
  JpegRows* rows = nullptr;
};

constexpr size_t kReservedRows = 4096;
constexpr size_t kReservedPixels = size_t{1} << 20;

DecodeState& StateOf(j_common_ptr cinfo) {
  return *static_cast<DecodeState*>(cinfo->client_data);
}

constexpr JOCTET kEndMarker[2] = {0xFF, static_cast<JOCTET>(JPEG_EOI)};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo) {
  DecodeState& s = StateOf(reinterpret_cast<j_common_ptr>(cinfo));
  const ByteSpan view = s.next < s.end ? s.file->View(s.next) : ByteSpan();
  if (view.empty()) {
    // An end marker of our own, as libjpeg's sources give; the picture was not whole.
    s.ranOut = true;
    s.source.next_input_byte = kEndMarker;
    s.source.bytes_in_buffer = sizeof(kEndMarker);
    return TRUE;
  }
  const auto n = static_cast<size_t>(std::min<uint64_t>(view.size(), s.end - s.next));
  s.source.next_input_byte = view.data();
  s.source.bytes_in_buffer = n;
  s.next += n;
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  DecodeState& s = StateOf(reinterpret_cast<j_common_ptr>(cinfo));
  if (count <= 0) return;
  const auto skip = static_cast<uint64_t>(count);
  if (skip <= s.source.bytes_in_buffer) {
    s.source.next_input_byte += skip;
    s.source.bytes_in_buffer -= static_cast<size_t>(skip);
    return;
  }
  const uint64_t beyond = skip - s.source.bytes_in_buffer;
  s.next = s.end - s.next < beyond ? s.end : s.next + beyond;
  s.source.bytes_in_buffer = 0;
}

// Warnings that mean the coded data is wrong; the others (colour-transform guesses, JFIF oddities) say
// nothing about damage.
bool MeansDamage(int code) {
  switch (code) {
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_JPEG_EOF:
    case JWRN_MUST_RESYNC:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
      return true;
    default:
      return false;
  }
}

void OnError(j_common_ptr cinfo) {
  DecodeState& s = StateOf(cinfo);
  // Memory the bound refuses, or a form this decoder does not take, is no sign of damage.
  const int code = cinfo->err->msg_code;
  if (code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE || code == JERR_NOT_COMPILED ||
      code == JERR_CONVERSION_NOTIMPL) {
    s.unjudged = true;
  } else {
    s.damaged = true;
  }
  std::longjmp(s.jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
  if (level >= 0 || !MeansDamage(cinfo->err->msg_code)) return;
  DecodeState& s = StateOf(cinfo);
  s.damaged = true;
  std::longjmp(s.jump, 1);
}

void OnOutput(j_common_ptr) {}

// Bytes the decoder has taken so far; the end marker made up past the end is none of them.
uint64_t Consumed(const DecodeState& s) {
  if (s.ranOut) return s.next;
  return s.next - std::min<uint64_t>(s.next, s.source.bytes_in_buffer);
}

// The decode itself. Returns normally with the state telling what happened; a jump lands here too.
void Decode(DecodeState* s, uint64_t maxMemory) {
  if (setjmp(s->jump) != 0) return;
  jpeg_create_decompress(&s->cinfo);
  s->created = true;
  s->cinfo.client_data = s;
  s->cinfo.mem->max_memory_to_use = static_cast<long>(std::min<uint64_t>(maxMemory, 1u << 30));
  s->source.init_source = InitSource;
  s->source.fill_input_buffer = FillInput;
  s->source.skip_input_data = SkipInput;
  s->source.resync_to_restart = jpeg_resync_to_restart;
  s->source.term_source = TermSource;
  s->cinfo.src = &s->source;
  if (jpeg_read_header(&s->cinfo, TRUE) != JPEG_HEADER_OK) {
    s->damaged = true;
    return;
  }
  s->cinfo.scale_num = 1;
  s->cinfo.scale_denom = 8;
  s->cinfo.dct_method = JDCT_IFAST;
  s->cinfo.do_fancy_upsampling = FALSE;
  s->cinfo.do_block_smoothing = FALSE;
  if (s->cinfo.jpeg_color_space == JCS_YCbCr || s->cinfo.jpeg_color_space == JCS_GRAYSCALE)
    s->cinfo.out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(&s->cinfo);
  JSAMPARRAY row = (*s->cinfo.mem->alloc_sarray)(
      reinterpret_cast<j_common_ptr>(&s->cinfo), JPOOL_IMAGE,
      s->cinfo.output_width * static_cast<JDIMENSION>(s->cinfo.output_components), 1);
  // Rows say where the data went wrong only when they come as it is decoded: not for a progressive picture.
  if (s->rows != nullptr && (jpeg_has_multiple_scans(&s->cinfo) || s->cinfo.output_components != 1))
    s->rows = nullptr;
  if (s->rows != nullptr) {
    // One allocation for a camera's picture, not one per doubling; a header's claim alone gets no more.
    s->rows->width = s->cinfo.output_width;
    s->rows->ends.reserve(std::min<size_t>(s->cinfo.output_height, kReservedRows));
    s->rows->pixels.reserve(
        std::min(size_t{s->cinfo.output_height} * s->cinfo.output_width, kReservedPixels));
  }
  while (s->cinfo.output_scanline < s->cinfo.output_height) {
    if (jpeg_read_scanlines(&s->cinfo, row, 1) != 1) {
      s->damaged = true;
      return;
    }
    if (s->rows != nullptr) {
      s->rows->ends.push_back(Consumed(*s));
      s->rows->pixels.insert(s->rows->pixels.end(), row[0], row[0] + s->cinfo.output_width);
    }
  }
  jpeg_finish_decompress(&s->cinfo);
}

}  // namespace

JpegCheck CheckJpeg(FileBytes& file, uint64_t length, uint64_t maxMemory, JpegRows* rows) {
  DecodeState state;
  state.rows = rows;
  if (rows != nullptr) *rows = JpegRows{};
  state.file = &file;
  state.end = length;
  state.cinfo.err = jpeg_std_error(&state.errors);
  state.errors.error_exit = OnError;
  state.errors.emit_message = OnMessage;
  state.errors.output_message = OnOutput;
  state.cinfo.client_data = &state;
  Decode(&state, maxMemory);
  const uint64_t consumed = Consumed(state);
  if (state.created) jpeg_destroy_decompress(&state.cinfo);
  JpegCheck check;
  if (state.unjudged) return check;
  // Whole only when the decoder used the bytes up to the end marker exactly.
  if (state.damaged || state.ranOut || consumed != length) {
    check.verdict = JpegCheck::Verdict::kBroken;
    check.brokenAt = std::min(consumed, length);
    return check;
  }
  check.verdict = JpegCheck::Verdict::kWhole;
  return check;
}

}  // namespace snapsave

#else

namespace snapsave {

// Built without libjpeg (the Windows build): no picture can be judged, so none is called damaged.
JpegCheck CheckJpeg(FileBytes&, uint64_t, uint64_t, JpegRows*) {
  return {};
}

}  // namespace snapsave

#endif
