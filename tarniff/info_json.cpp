// The JSON object `tniff info --json` lists for a file, and the inspection behind it.
#include "tarniff/tarniff.h"

#include "tarniff/json_writer.h"

namespace tarniff {

namespace {

// The module's view as JSON keys of the file's object.
void WriteModuleJson(JsonWriter& json, const OpenedFile& file) {
    const Description& d = file.description;

    json.Key("image").BeginObject();
    json.Key("width").Integer(d.width).Key("height").Integer(d.height);
    json.Key("mode").String(ModeName(d.mode)).Key("modeCode").Integer(d.mode);
    json.Key("bitsPerChannel").Integer(d.depthBits).Key("planes").Integer(d.planes);
    json.Key("planeNames").BeginArray();
    for (int p = 0; p < d.planes; ++p) json.String(PlaneName(file, p));
    json.EndArray();
    json.Key("depthPlane");
    if (file.depthPlane >= 0)
        json.Integer(file.depthPlane);
    else
        json.Null();
    json.Key("horizontalDpi").Number(d.horizontalDpi).Key("verticalDpi").Number(d.verticalDpi);
    json.EndObject();

    json.Key("read").BeginObject();
    json.Key("complete").Bool(file.complete());
    json.Key("colourTiles")
        .Integer(file.colourTilesRead)
        .Key("colourTilesExpected")
        .Integer(file.colourTilesExpected);
    json.Key("depthTiles")
        .Integer(file.depthTilesRead)
        .Key("depthTilesExpected")
        .Integer(file.depthTilesExpected);
    json.EndObject();
}

// The layout as JSON keys of the file's object; "damage" only for a file not whole.
void WriteLayoutJson(JsonWriter& json, const Layout& layout) {
    json.Key("fileSize").Integer(static_cast<int64_t>(layout.fileSize));
    json.Key("truncated").Bool(layout.truncated);
    json.Key("header");
    if (layout.hasHeader) {
        const HeaderValues& h = layout.header;
        json.BeginObject();
        json.Key("size")
            .Integer(h.payloadSize)
            .Key("width")
            .Integer(h.width)
            .Key("height")
            .Integer(h.height);
        json.Key("auxA").Integer(h.auxA).Key("auxB").Integer(h.auxB).Key("flags").Integer(h.flags);
        json.Key("flagNames").BeginArray();
        for (const std::string& name : KnownFlagNames(h.flags)) json.String(name);
        json.EndArray();
        json.Key("auxC").Integer(h.auxC).Key("tileCount").Integer(h.tileCount);
        json.Key("compression").Integer(h.compression);
        if (h.hasAuxDE) json.Key("auxD").Integer(h.auxD).Key("auxE").Integer(h.auxE);
        json.EndObject();
    } else {
        json.Null();
    }

    json.Key("chunks").BeginArray();
    for (const ChunkInfo& chunk : layout.chunks) {
        json.BeginObject().Key("id").String(chunk.id);
        if (!chunk.groupType.empty()) json.Key("type").String(chunk.groupType);
        json.Key("offset")
            .Integer(static_cast<int64_t>(chunk.offset))
            .Key("size")
            .Integer(chunk.size);
        json.EndObject();
    }
    json.EndArray();

    json.Key("tiles").BeginArray();
    for (const TileInfo& tile : layout.tiles) {
        json.BeginObject();
        json.Key("kind").String(tile.depth ? "ZBUF" : "RGBA");
        json.Key("offset")
            .Integer(static_cast<int64_t>(tile.offset))
            .Key("size")
            .Integer(tile.size);
        // "size" is the chunk's size field, as every chunk's; "chunkBytes" says so by its name
        // (storedBytes are the pixel data alone, 8 fewer).
        json.Key("chunkBytes").Integer(tile.size);
        json.Key("x1")
            .Integer(tile.x1)
            .Key("y1")
            .Integer(tile.y1)
            .Key("x2")
            .Integer(tile.x2)
            .Key("y2")
            .Integer(tile.y2);
        json.Key("width").Integer(tile.width).Key("height").Integer(tile.height);
        json.Key("compressed").Bool(tile.compressed);
        json.Key("storedBytes").Integer(static_cast<int64_t>(tile.storedBytes));
        json.Key("rawBytes").Integer(static_cast<int64_t>(tile.rawBytes));
        if (tile.compressed && layout.runStreamsChecked)
            json.Key("leftoverBytes").Integer(static_cast<int64_t>(tile.leftoverBytes));
        json.EndObject();
    }
    json.EndArray();
    json.Key("damagedTiles").BeginArray();
    for (const TileDamage& damaged : layout.damagedTiles) {
        const TileInfo& tile = layout.tiles[damaged.tile];
        json.BeginObject().Key("index").Integer(static_cast<int64_t>(damaged.tile));
        json.Key("kind").String(tile.depth ? "ZBUF" : "RGBA");
        json.Key("offset").Integer(static_cast<int64_t>(tile.offset));
        json.Key("x1").Integer(tile.x1).Key("y1").Integer(tile.y1);
        json.Key("x2").Integer(tile.x2).Key("y2").Integer(tile.y2);
        json.Key("reason").String(damaged.reason);
        json.EndObject();
    }
    json.EndArray();
    json.Key("otherChunksInTileGroup").Integer(layout.otherChunksInTileGroup);

    int compressed = layout.CompressedTiles();
    json.Key("tileCounts").BeginObject();
    json.Key("total").Integer(static_cast<int64_t>(layout.tiles.size()));
    json.Key("colour").Integer(layout.ColourTiles()).Key("depth").Integer(layout.DepthTiles());
    json.Key("compressed")
        .Integer(compressed)
        .Key("raw")
        .Integer(static_cast<int64_t>(layout.tiles.size()) - compressed);
    json.EndObject();
    json.Key("storedBytes").Integer(static_cast<int64_t>(layout.storedBytes));
    json.Key("rawBytes").Integer(static_cast<int64_t>(layout.rawBytes));
    json.Key("compressionRatio");
    if (layout.storedBytes > 0)
        json.Number(static_cast<double>(layout.rawBytes) / static_cast<double>(layout.storedBytes));
    else
        json.Null();
    if (!layout.damage.reason.empty()) {
        const Damage& damage = layout.damage;
        json.Key("damage").BeginObject();
        json.Key("offset").Integer(static_cast<int64_t>(damage.offset));
        json.Key("chunk").String(damage.chunk).Key("groups").String(damage.groups);
        json.Key("reason").String(damage.reason);
        json.EndObject();
    }
}

}  // namespace

Inspection Inspect(const ModuleFile& module, const std::string& path,
                   const OpenSettings& settings) {
    Inspection inspection;
    inspection.path = settings.name.empty() ? path : settings.name;
    OpenSettings partial = settings;
    partial.partial = true;
    try {
        inspection.file = OpenThroughModule(module, path, partial);
        inspection.opened = true;
    } catch (const Error& error) {
        inspection.error = error.what();
        inspection.code = error.hostCode();
        // A damaged file the module refuses: its layout up to the damage, and why it stops.
        std::string why;
        inspection.damaged = WalkLayoutFile(path, &inspection.layout, &why) &&
                             inspection.layout.recognised && !inspection.layout.Whole();
    }
    return inspection;
}

Inspection InspectBytes(const ModuleFile& module, const uint8_t* bytes, size_t size,
                        const OpenSettings& settings) {
    OpenSettings named = settings;
    if (named.name.empty()) named.name = "the image";
    const TemporaryCopy copy(bytes, size, named.name);
    return Inspect(module, copy.path(), named);
}

std::string InfoJson(const Inspection& inspection) {
    JsonWriter json;
    json.BeginObject().Key("file").String(inspection.path);
    if (inspection.opened) {
        WriteModuleJson(json, inspection.file);
        WriteLayoutJson(json, inspection.file.layout);
    } else {
        json.Key("error").String(inspection.error);
        if (inspection.code != noErr) {
            json.Key("code")
                .Integer(inspection.code)
                .Key("codeName")
                .String(HostCodeName(inspection.code));
        }
        if (inspection.damaged) WriteLayoutJson(json, inspection.layout);
    }
    json.EndObject();
    return json.text();
}

}  // namespace tarniff
