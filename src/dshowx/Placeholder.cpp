// Keeps the library non-empty until its first real source lands.
namespace velmora_detail { int placeholder = 0; }
