// Alignment of the pictures of a hand-held or focus-breathing series onto the
// first one, before each is added: the host's part, as an editor aligns layers
// before it runs a filter.
//
// Each picture is matched, at reduced resolution and coarse to fine, against
// the previous picture already put into the first one's geometry: neighbours in
// a focus series are blurred alike where frames focused far apart are not, and
// the match is invariant to gain and offset, so exposure changes do not matter.
// The estimate is an affine map from the picture to the first one; the picture
// is then resampled at full resolution (bicubic, in its own depth) and a
// selection leaves unselected every pixel whose interpolation reaches outside
// it, so that no smeared border pixel enters the focus buffer.
//
// What the next picture needs (the last aligned picture at reduced size and its
// map) is the state, kept in a small file beside the buffer so that pictures
// added one command at a time align as a single stack does.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/hostlib/picture.h"

namespace cli::align {

// The affine map x' = m[0] x + m[1] y + m[2], y' = m[3] x + m[4] y + m[5] from a
// picture's pixel to the pixel of the reference that it shows (pixel centres
// at whole coordinates).
struct Transform {
  std::array<double, 6> m{1, 0, 0, 0, 1, 0};

  bool IsIdentity() const { return m == std::array<double, 6>{1, 0, 0, 0, 1, 0}; }
  // The largest distance between where a corner of a width x height picture
  // goes and where it is.
  double CornerMotion(int width, int height) const;
  // "scale 1.012, angle 0.05°, shift 3.1, -2.4 px": what the alignment does to
  // the picture, about its centre.
  std::string Describe(int width, int height) const;
};

// Everything the next alignment needs.
struct State {
  int referenceWidth = 0;  // 0: no reference yet
  int referenceHeight = 0;
  int pictures = 0;  // pictures aligned since the reference, itself included
  Transform last;    // the last picture's map
  int reducedWidth = 0;
  int reducedHeight = 0;
  std::vector<float> image;  // the last picture in the reference's geometry, reduced, grey 0..1
  std::vector<std::uint8_t> valid;  // where `image` holds the picture (1) or not (0)
};

// Where the state lives: beside the focus buffer.
std::string StatePath(const std::string& bufferFolder);
// Reads the state; a missing file is an empty state. False, with the reason,
// when the file cannot be read or is not one of ours.
bool LoadState(const std::string& path, State* state, std::string* error);
// Writes the state through a temporary file renamed over the old one, so that
// a crash leaves the old state or the new one.
bool SaveState(const std::string& path, const State& state, std::string* error);
// Deletes the state; false, with the reason, when a file is there and stays.
bool RemoveState(const std::string& path, std::string* error);

// Finds where `picture` goes and advances the state to it. The first picture
// of an empty state becomes the reference and gets the identity, as does a
// picture whose map moves no corner by 0.02 px or more (so that an aligned
// series goes in unchanged). A picture that the match finds within a quarter
// pixel of where the previous one went gets the previous one's map, so that
// the seeming motion of neighbours focused apart does not add up. False, with the reason and the
// state unchanged, when the picture cannot be aligned: no convergence, too little overlap, or a map
// no camera would make.
bool Estimate(const host::Picture& picture, State* state, Transform* transform, std::string* error);

// Resamples `picture` into the reference's geometry (width x height) with the
// map found for it; `selection` gets one byte per pixel of the result, 255
// where every sample the interpolation read lay inside the picture and 0
// elsewhere. Transparency moves with the colour. `warped` may not be `picture`.
void Warp(const host::Picture& picture, const Transform& transform, int width, int height,
          host::Picture* warped, std::vector<std::uint8_t>* selection);

// One picture, start to end, for commands that align pictures as they come:
// estimates, then replaces `*picture` by its aligned version (using `scratch`
// as working memory) and fills `selection`; an identity leaves both alone
// (selection empty). `note` gets the text for the picture's line. The state
// advances only on success.
bool AlignPicture(host::Picture* picture, State* state, host::Picture* scratch,
                  std::vector<std::uint8_t>* selection, std::string* note, std::string* error);

}  // namespace cli::align
