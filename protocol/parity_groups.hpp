#pragma once
// The interleaved grouping of a frame's chunks for XOR parity, shared by the sender and the receiver:
// with G groups, group g holds chunks g, g+G, g+2G, ... below the chunk count. Interleaving spreads a
// burst of consecutive losses over different groups, each of which can rebuild one lost member.
namespace vela {

// The largest group count the parity packet's UInt8 fields can carry.
inline constexpr int maxParityGroupCount = 255;

// The group of a chunk index; groupCount > 0.
constexpr int parityGroupOf(int chunkIdx, int groupCount) { return chunkIdx % groupCount; }

// The number of members of `group`; 0 for a group at or beyond the chunk count.
constexpr int parityGroupSize(int group, int groupCount, int chunkCount) {
  if (groupCount < 1 || group < 0 || group >= chunkCount) return 0;
  return (chunkCount - 1 - group) / groupCount + 1;
}

}  // namespace vela
