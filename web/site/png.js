// PNG files for the page, read and written here with the browser's own zlib streams
// (DecompressionStream / CompressionStream "deflate"), so that every sample is exact: an image
// decoded by the browser for a canvas comes back premultiplied by alpha and divided again, which
// changes the colour of every partly transparent pixel.
//
// Reading gives what tniff's PNG reader gives: 8-bit channels, gray, gray and alpha, RGB or
// RGBA; palette and gray of 1, 2 or 4 bits expanded, a transparency chunk made alpha, 16-bit
// samples scaled to 8 bits rounded ((v * 255 + 32895) >> 16, as libpng scales them).
"use strict";

const PNG_SIGNATURE = [137, 80, 78, 71, 13, 10, 26, 10];

const CRC_TABLE = (() => {
  const table = new Uint32Array(256);
  for (let n = 0; n < 256; n++) {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    table[n] = c >>> 0;
  }
  return table;
})();

function crc32(bytes, start, end, crc = 0xffffffff) {
  for (let i = start; i < end; i++) crc = CRC_TABLE[(crc ^ bytes[i]) & 0xff] ^ (crc >>> 8);
  return crc;
}

async function throughStream(stream, bytes) {
  const writer = stream.writable.getWriter();
  const written = writer.write(bytes).then(() => writer.close());
  const out = new Uint8Array(await new Response(stream.readable).arrayBuffer());
  await written;
  return out;
}

class PngError extends Error {}

// The channels each colour type has as stored: 0 gray, 2 RGB, 3 palette, 4 gray+alpha, 6 RGBA.
const STORED_CHANNELS = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 };
const ALLOWED_DEPTHS = { 0: [1, 2, 4, 8, 16], 2: [8, 16], 3: [1, 2, 4, 8], 4: [8, 16], 6: [8, 16] };

// Adam7: the passes' start and step, columns then rows.
const ADAM7 = [
  [0, 0, 8, 8], [4, 0, 8, 8], [0, 4, 4, 8], [2, 0, 4, 4], [0, 2, 2, 4], [1, 0, 2, 2], [0, 1, 1, 2],
];

function unfilter(data, offset, rows, rowBytes, bpp, out) {
  // out: rows * rowBytes; data holds a filter byte before each row.
  let at = offset;
  for (let y = 0; y < rows; y++) {
    const filter = data[at++];
    const row = y * rowBytes, prior = row - rowBytes;
    if (at + rowBytes > data.length) throw new PngError("broken PNG file: Not enough image data");
    for (let x = 0; x < rowBytes; x++) {
      const raw = data[at + x];
      const a = x >= bpp ? out[row + x - bpp] : 0;
      const b = y > 0 ? out[prior + x] : 0;
      let value;
      switch (filter) {
        case 0: value = raw; break;
        case 1: value = raw + a; break;
        case 2: value = raw + b; break;
        case 3: value = raw + ((a + b) >> 1); break;
        case 4: {
          const c = y > 0 && x >= bpp ? out[prior + x - bpp] : 0;
          const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
          value = raw + (pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
          break;
        }
        default: throw new PngError(`broken PNG file: bad adaptive filter value`);
      }
      out[row + x] = value & 0xff;
    }
    at += rowBytes;
  }
  return at;
}

// Reads a PNG file's bytes: {width, height, channels, sourceBits, pixels} (pixels interleaved,
// rows from the top). Throws PngError with what is wrong, in tniff's words: "not a PNG file",
// "truncated PNG file: it ends inside its header" (or "image data", or "end chunk (the pixels
// are all there)"), "broken PNG file: ...".
//
// checkHeader(width, height, channels), when given, is awaited once the chunks before the image
// data have been read and before anything is decoded; it throws to refuse the image.
async function decodePng(bytes, checkHeader) {
  for (let i = 0; i < 8; i++) {
    if (bytes[i] !== PNG_SIGNATURE[i]) throw new PngError("not a PNG file");
  }
  const broken = (why) => new PngError(`broken PNG file: ${why}`);
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  let at = 8, header = null, palette = null, transparency = null, ended = false, cutInside = null;
  const idat = [];
  while (!ended) {
    if (at + 12 > bytes.length) {
      cutInside = at + 8 <= bytes.length ? String.fromCharCode(...bytes.subarray(at + 4, at + 8)) : "";
      break;
    }
    const length = view.getUint32(at);
    const type = String.fromCharCode(bytes[at + 4], bytes[at + 5], bytes[at + 6], bytes[at + 7]);
    if (length > 0x7fffffff) throw broken(`${type}: invalid chunk length`);
    if (at + 12 + length > bytes.length) {
      cutInside = type;
      break;
    }
    const data = bytes.subarray(at + 8, at + 8 + length);
    const crc = view.getUint32(at + 8 + length);
    if ((crc32(bytes, at + 4, at + 8 + length) ^ 0xffffffff) >>> 0 !== crc) throw broken(`${type}: CRC error`);
    if (type === "IHDR") {
      if (length !== 13) throw broken("IHDR: invalid length");
      const d = new DataView(data.buffer, data.byteOffset, 13);
      header = {
        width: d.getUint32(0), height: d.getUint32(4), depth: data[8], colourType: data[9],
        interlace: data[12],
      };
      if (header.width === 0 || header.height === 0) throw broken("Image width or height is zero in IHDR");
      if (!(header.colourType in STORED_CHANNELS) || !ALLOWED_DEPTHS[header.colourType].includes(header.depth)) {
        throw broken("Invalid bit depth or colour type in IHDR");
      }
      if (data[10] !== 0 || data[11] !== 0 || header.interlace > 1) throw broken("Unknown compression, filter or interlace method in IHDR");
    } else if (header === null) {
      throw broken(`Missing IHDR before ${type}`);
    } else if (type === "PLTE") {
      palette = data.slice();
    } else if (type === "tRNS") {
      transparency = data.slice();
    } else if (type === "IDAT") {
      idat.push(data);
    } else if (type === "IEND") {
      ended = true;
    } else if (!(bytes[at + 4] & 0x20)) {
      throw broken(`${type}: unknown critical chunk`);
    }
    at += 12 + length;
  }
  const truncated = (stage) => new PngError(`truncated PNG file: it ends inside its ${stage}`);
  // Where the file ends, as a reader going through it meets the end: before the image data, in
  // it, or after all of it.
  if (cutInside !== null && (header === null || (idat.length === 0 && cutInside !== "IDAT"))) throw truncated("header");
  if (header.colourType === 3 && palette === null) throw broken("Missing PLTE before IDAT");
  if (checkHeader) {
    const keyed = transparency !== null && header.colourType !== 4 && header.colourType !== 6;
    const channels = header.colourType === 3 ? (keyed ? 4 : 3) : STORED_CHANNELS[header.colourType] + (keyed ? 1 : 0);
    await checkHeader(header.width, header.height, channels);
  }
  if (cutInside === "IDAT") throw truncated("image data");
  if (idat.length === 0) throw broken("Not enough image data");
  const joined = new Uint8Array(idat.reduce((n, part) => n + part.length, 0));
  let offset = 0;
  for (const part of idat) {
    joined.set(part, offset);
    offset += part.length;
  }
  let data;
  try {
    data = await throughStream(new DecompressionStream("deflate"), joined);
  } catch (error) {
    throw cutInside !== null ? truncated("image data") : broken("incorrect data check or stream");
  }

  const { width, height, depth, colourType } = header;
  const stored = STORED_CHANNELS[colourType];
  const bitsPerPixel = stored * depth;
  const bpp = Math.max(1, bitsPerPixel >> 3);
  // Samples as stored, one number per sample, in full rows.
  const samples = new Uint16Array(width * height * stored);
  const unpackRows = (packed, rows, rowBytes, columns, place) => {
    for (let y = 0; y < rows; y++) {
      const row = y * rowBytes;
      for (let x = 0; x < columns; x++) {
        for (let c = 0; c < stored; c++) {
          const index = x * stored + c;
          let value;
          if (depth === 16) value = (packed[row + 2 * index] << 8) | packed[row + 2 * index + 1];
          else if (depth === 8) value = packed[row + index];
          else {
            const bit = index * depth;
            value = (packed[row + (bit >> 3)] >> (8 - depth - (bit & 7))) & ((1 << depth) - 1);
          }
          samples[place(x, y) * stored + c] = value;
        }
      }
    }
  };
  const unpack = () => {
    if (header.interlace === 0) {
      const rowBytes = Math.ceil((width * bitsPerPixel) / 8);
      const packed = new Uint8Array(rowBytes * height);
      unfilter(data, 0, height, rowBytes, bpp, packed);
      unpackRows(packed, height, rowBytes, width, (x, y) => y * width + x);
    } else {
      let at = 0;
      for (const [x0, y0, dx, dy] of ADAM7) {
        const columns = Math.ceil((width - x0) / dx), rows = Math.ceil((height - y0) / dy);
        if (columns <= 0 || rows <= 0) continue;
        const rowBytes = Math.ceil((columns * bitsPerPixel) / 8);
        const packed = new Uint8Array(rowBytes * rows);
        at = unfilter(data, at, rows, rowBytes, bpp, packed);
        unpackRows(packed, rows, rowBytes, columns, (x, y) => (y0 + y * dy) * width + x0 + x * dx);
      }
    }
  };
  try {
    unpack();
  } catch (error) {
    throw cutInside !== null && error instanceof PngError ? truncated("image data") : error;
  }
  if (cutInside !== null) throw truncated("end chunk (the pixels are all there)");

  // Expand to 8-bit channels as libpng's expand and scale-16 transformations do.
  const scale = (v) => (depth === 16 ? (v * 255 + 32895) >> 16 : depth === 8 ? v : (v * 255) / ((1 << depth) - 1));
  let channels, pixels;
  const count = width * height;
  if (colourType === 3) {
    const alpha = transparency !== null;
    channels = alpha ? 4 : 3;
    pixels = new Uint8Array(count * channels);
    const entries = palette.length / 3;
    for (let i = 0; i < count; i++) {
      const index = samples[i];
      if (index >= entries) throw new PngError("broken PNG file: palette index out of range");
      pixels[i * channels] = palette[3 * index];
      pixels[i * channels + 1] = palette[3 * index + 1];
      pixels[i * channels + 2] = palette[3 * index + 2];
      if (alpha) pixels[i * channels + 3] = index < transparency.length ? transparency[index] : 255;
    }
  } else {
    // A transparency chunk on gray or RGB names one colour (in stored samples) that is clear.
    const key = transparency === null || colourType === 4 || colourType === 6 ? null
      : colourType === 0 ? [(transparency[0] << 8) | transparency[1]]
        : [0, 2, 4].map((o) => (transparency[o] << 8) | transparency[o + 1]);
    channels = stored + (key !== null ? 1 : 0);
    pixels = new Uint8Array(count * channels);
    for (let i = 0; i < count; i++) {
      let clear = key !== null;
      for (let c = 0; c < stored; c++) {
        const v = samples[i * stored + c];
        if (key !== null && v !== key[c]) clear = false;
        pixels[i * channels + c] = scale(v);
      }
      if (key !== null) pixels[i * channels + stored] = clear ? 0 : 255;
    }
  }
  return { width, height, channels, sourceBits: depth, pixels };
}

// Writes 8-bit interleaved pixels (1 gray, 2 gray+alpha, 3 RGB, 4 RGBA) as a PNG file; dpi,
// when known, becomes a pHYs chunk in pixels per metre. Gives the file's bytes.
async function encodePng(pixels, width, height, channels, dpi) {
  const colourType = [0, 0, 4, 2, 6][channels];
  const rowBytes = width * channels;
  // Each row filtered "up" (the difference to the row above): cheap, and renders shrink well.
  const filtered = new Uint8Array((rowBytes + 1) * height);
  for (let y = 0; y < height; y++) {
    const out = y * (rowBytes + 1), row = y * rowBytes;
    filtered[out] = y === 0 ? 0 : 2;
    if (y === 0) filtered.set(pixels.subarray(row, row + rowBytes), out + 1);
    else for (let x = 0; x < rowBytes; x++) filtered[out + 1 + x] = (pixels[row + x] - pixels[row - rowBytes + x]) & 0xff;
  }
  const compressed = await throughStream(new CompressionStream("deflate"), filtered);
  const chunks = [];
  const chunk = (type, data) => {
    const bytes = new Uint8Array(12 + data.length);
    const view = new DataView(bytes.buffer);
    view.setUint32(0, data.length);
    for (let i = 0; i < 4; i++) bytes[4 + i] = type.charCodeAt(i);
    bytes.set(data, 8);
    view.setUint32(8 + data.length, (crc32(bytes, 4, 8 + data.length) ^ 0xffffffff) >>> 0);
    chunks.push(bytes);
  };
  const ihdr = new Uint8Array(13);
  const h = new DataView(ihdr.buffer);
  h.setUint32(0, width);
  h.setUint32(4, height);
  ihdr[8] = 8;
  ihdr[9] = colourType;
  chunk("IHDR", ihdr);
  if (dpi && dpi.horizontal > 0 && dpi.vertical > 0) {
    const phys = new Uint8Array(9);
    const p = new DataView(phys.buffer);
    p.setUint32(0, Math.floor(dpi.horizontal / 0.0254 + 0.5));
    p.setUint32(4, Math.floor(dpi.vertical / 0.0254 + 0.5));
    phys[8] = 1;
    chunk("pHYs", phys);
  }
  chunk("IDAT", compressed);
  chunk("IEND", new Uint8Array(0));
  const total = 8 + chunks.reduce((n, c) => n + c.length, 0);
  const file = new Uint8Array(total);
  file.set(PNG_SIGNATURE, 0);
  let offset = 8;
  for (const c of chunks) {
    file.set(c, offset);
    offset += c.length;
  }
  return file;
}
