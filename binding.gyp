{
  "targets": [
    {
      "target_name": "Quorvane",
      "sources": [
        "src/Quorvane.cpp",
        "src/pipewire/PwContext.cpp",
        "src/pipewire/PwThread.cpp",
        "src/pipewire/RegistryMirror.cpp",
        "src/pipewire/ObjectInfo.cpp",
        "src/pipewire/MediaFormat.cpp",
        "src/pipewire/SharedConnection.cpp",
        "src/pipewire/LifecycleBindings.cpp",
        "src/events/EventQueue.cpp",
        "src/events/EventDispatch.cpp",
        "src/JsValues.cpp",
        "src/InfoValues.cpp",
        "src/queries/Listing.cpp",
        "src/queries/FilteredLists.cpp",
        "src/queries/NodeWait.cpp",
        "src/queries/WaitForNewNode.cpp",
        "src/links/LinkInspection.cpp",
        "src/links/LinkProxies.cpp",
        "src/links/LinkRemoval.cpp",
        "src/links/LinkControl.cpp",
        "src/links/LinkBindings.cpp",
        "src/nodes/NodeCreation.cpp",
        "src/nodes/NodeBindings.cpp",
        "src/pipewire/NodeProps.cpp",
        "src/control/ControlRequests.cpp",
        "src/control/Metadata.cpp",
        "src/control/ControlBindings.cpp",
        "src/bindings/Constants.cpp"
      ],
      "include_dirs": [
        "<!(node -p \"require('node:path').relative('.', require('node:path').dirname(require.resolve('nan/nan.h')))\")"
      ],
      "cflags!": ["-fno-exceptions"],
      "cflags_cc!": ["-fno-exceptions", "-std=gnu++17"],
      "cflags": ["-Wall", "-Wextra", "<!@(pkg-config --cflags libpipewire-0.3)"],
      "cflags_cc": ["-std=gnu++17", "-Wall", "-Wextra", "<!@(pkg-config --cflags libpipewire-0.3)"],
      "libraries": ["<!@(pkg-config --libs libpipewire-0.3)"]
    }
  ]
}
