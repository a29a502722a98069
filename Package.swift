// swift-tools-version:5.9
// SPDX-License-Identifier: Apache-2.0
//
// FnRemapKit for Swift applications, and the guard they bundle. The C++
// library and the tool build from the same sources as the CMake build does;
// each platform file compiles to nothing off its platform, so one source list
// serves macOS and Linux. No unsafe flags and no other packages, so that any
// package may depend on this one.
import PackageDescription

let package = Package(
  name: "FnRemapKit",
  platforms: [.macOS(.v11)],
  products: [
    .library(name: "FnRemapKit", targets: ["FnRemapKit"]),
    .executable(name: "tarnwick-fn-guard", targets: ["tarnwick-fn-guard"]),
  ],
  targets: [
    // The library with its C interface as the module CFnRemapKit; the module
    // map in include/ shows Swift the C header alone. On Linux the stand-in's
    // JSON reader (nlohmann-json, header-only) comes from the system.
    .target(
      name: "CFnRemapKit",
      path: "remap-kit",
      exclude: ["CMakeLists.txt", "swift"],
      sources: ["src"],
      publicHeadersPath: "include",
      linkerSettings: [
        .linkedFramework("IOKit", .when(platforms: [.macOS])),
        .linkedFramework("CoreFoundation", .when(platforms: [.macOS])),
      ]
    ),
    .target(name: "FnRemapKit", dependencies: ["CFnRemapKit"], path: "remap-kit/swift"),
    // An application cannot pass FNGUARD_LOG_SUBSYSTEM to a package it uses;
    // built here, the guard falls back to the default it has of its own.
    .executableTarget(
      name: "tarnwick-fn-guard",
      dependencies: ["CFnRemapKit"],
      path: "guard-tool",
      exclude: ["CMakeLists.txt", "tarnwick-fn-guard.1"]
    ),
    // For the tests only: the key mapping tool, through which they read and
    // set the list.
    .executableTarget(
      name: "keymap", dependencies: ["CFnRemapKit"], path: "examples/keymap",
      exclude: ["CMakeLists.txt"]),
    .testTarget(
      name: "FnRemapKitTests",
      dependencies: ["FnRemapKit", "tarnwick-fn-guard", "keymap"],
      path: "tests/swift"),
  ],
  cLanguageStandard: .c11,
  cxxLanguageStandard: .cxx20
)
