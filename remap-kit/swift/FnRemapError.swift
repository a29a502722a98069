/// What failed when a ``FnRemapSession`` began or ended, in the library's
/// words: one line such as "cannot start the guard at PATH: No such file or
/// directory", "the key mapping is locked by another process" or "the HID
/// system refused the remap".
public struct FnRemapError: Error, CustomStringConvertible, Hashable, Sendable {
  /// The library's line saying what failed.
  public let description: String

  init(description: String) { self.description = description }

  /// The text the C interface wrote into `buffer`, up to its terminating NUL.
  init(_ buffer: [CChar]) {
    let text = buffer.prefix { $0 != 0 }.map { UInt8(bitPattern: $0) }
    description = String(decoding: text, as: UTF8.self)
  }

  /// Room for the library's line; a longer one is cut, never overrun.
  static func buffer() -> [CChar] { [CChar](repeating: 0, count: 1024) }
}
