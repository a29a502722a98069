// swift-tools-version:5.9
// SPDX-License-Identifier: Apache-2.0
//
// The README's Swift integration as an application would build it: a
// package of its own that depends on FnRemapKit by path (an application
// names the repository's URL instead), in the Swift 6 language mode.
// scripts/test builds it and runs it on the stand-in.
import PackageDescription

let package = Package(
  name: "SwiftApp",
  platforms: [.macOS(.v11)],
  dependencies: [.package(name: "FnRemapKit", path: "../..")],
  targets: [.executableTarget(name: "SwiftApp", dependencies: [.product(name: "FnRemapKit", package: "FnRemapKit")])],
  swiftLanguageVersions: [.version("6")]
)
