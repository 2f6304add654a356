{
  "targets": [
    {
      "target_name": "Quorvane",
      "sources": [
        "../src/bindings/Module.cpp",
        "../src/connection/PwContext.cpp",
        "../src/connection/PwThread.cpp",
        "../src/connection/RegistryMirror.cpp",
        "../src/connection/InfoProxies.cpp",
        "../src/core/MediaFormat.cpp",
        "../src/connection/SharedConnection.cpp",
        "../src/bindings/LifecycleBindings.cpp",
        "../src/connection/EventQueue.cpp",
        "../src/bindings/EventDispatch.cpp",
        "../src/bindings/JsValues.cpp",
        "../src/bindings/InfoValues.cpp",
        "../src/bindings/Listing.cpp",
        "../src/bindings/ObjectBuilders.cpp",
        "../src/bindings/FilteredLists.cpp",
        "../src/features/nodes/NodeWait.cpp",
        "../src/bindings/WaitForNewNode.cpp",
        "../src/bindings/LinkInspection.cpp",
        "../src/features/links/LinkProxies.cpp",
        "../src/features/links/LinkRemoval.cpp",
        "../src/features/links/LinkControl.cpp",
        "../src/bindings/LinkBindings.cpp",
        "../src/features/nodes/NodeCreation.cpp",
        "../src/bindings/NodeBindings.cpp",
        "../src/core/NodeProps.cpp",
        "../src/features/control/ControlRequests.cpp",
        "../src/features/control/Metadata.cpp",
        "../src/features/control/VolumeRequests.cpp",
        "../src/features/FeatureHooks.cpp",
        "../src/connection/WorkQueue.cpp",
        "../src/bindings/JsState.cpp",
        "../src/bindings/ControlBindings.cpp",
        "../src/bindings/Constants.cpp",
        "../src/features/meters/Meters.cpp",
        "../src/bindings/MeterBindings.cpp",
        "../src/features/profiler/Profiler.cpp",
        "../src/bindings/ProfilerBindings.cpp",
        "../src/core/PortLatency.cpp",
        "../src/bindings/LatencyBindings.cpp"
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
