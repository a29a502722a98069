// SPDX-License-Identifier: Apache-2.0
#if canImport(Foundation)
import Foundation
#elseif canImport(FoundationEssentials)
import FoundationEssentials
#endif

extension FnRemapSession {
  #if canImport(Foundation)
  /// The guard the application bundles: `tarnwick-fn-guard` in the main
  /// bundle's `Contents/Helpers/`, else in its `Contents/MacOS/`; nil when
  /// neither holds an executable file of that name.
  public static var bundledGuardURL: URL? { guardURL(inBundle: Bundle.main.bundleURL) }

  /// The bundled guard, looked for in the bundle at `bundleURL`.
  static func guardURL(inBundle bundleURL: URL) -> URL? {
    let files = FileManager.default
    for folder in ["Contents/Helpers", "Contents/MacOS"] {
      let candidate = bundleURL.appendingPathComponent(folder).appendingPathComponent("tarnwick-fn-guard")
      var isFolder: ObjCBool = false
      if files.fileExists(atPath: candidate.path, isDirectory: &isFolder), !isFolder.boolValue,
        files.isExecutableFile(atPath: candidate.path)
      {
        return candidate
      }
    }
    return nil
  }
  #else
  /// Without Foundation's Bundle there is no bundle to look in: nil, and
  /// the guard's URL must be given.
  public static var bundledGuardURL: URL? { nil }
  #endif
}
