#!/usr/bin/python3
"""FaceBoxes forward written from the TF.js graph itself, to check the C++ conversion against.

Runs the graph model node by node in numpy, from its uint8 image input to the decoded boxes
and face scores, with its own padding, anchor generator and decoding as the graph computes
them (only the final non-maximum suppression loop is left out: the best box needs none).
Nothing here is shared with the converter, so a wrong anchor order, box order or input
scaling in the converter shows as a different best box or score.

Usage: faceboxes_reference.py WEIGHTS_DIR IMAGE [--crop X,Y,W,H] [--canvas 640x480] [--at X,Y] [--top N]
  IMAGE (or its crop) is pasted at (X, Y) onto a grey (128) canvas and cut to it, so that a
  frame can be made from a sample image without resampling; prints the N best boxes
  (before suppression) in canvas pixels.
"""

import argparse
import base64
import json
import os

import numpy as np
from PIL import Image

FLOAT_DTYPES = {"DT_FLOAT", "DT_DOUBLE", "DT_HALF"}


def read_weights(model_dir, model):
    weights = {}
    for group in model["weightsManifest"]:
        data = b"".join(open(os.path.join(model_dir, p), "rb").read() for p in group["paths"])
        offset = 0
        for w in group["weights"]:
            count = int(np.prod(w["shape"])) if w["shape"] else 1
            quant = w.get("quantization")
            if quant:
                dtype = {"float16": np.float16, "uint8": np.uint8, "uint16": np.uint16}[quant["dtype"]]
                values = np.frombuffer(data, dtype, count, offset).astype(np.float64)
                offset += count * np.dtype(dtype).itemsize
                if quant["dtype"] != "float16":
                    values = values * quant["scale"] + quant["min"]
            else:
                dtype = {"float32": np.float32, "int32": np.int32}[w["dtype"]]
                values = np.frombuffer(data, dtype, count, offset)
                offset += count * 4
            kind = np.float64 if w["dtype"] == "float32" else np.int64
            weights[w["name"]] = np.array(values, dtype=kind).reshape(w["shape"])
    return weights


def same_pads(size, kernel, stride):
    out = -(-size // stride)
    total = max((out - 1) * stride + kernel - size, 0)
    return total // 2, total - total // 2


def windows(x, kernel, stride, fill):
    """NHWC x padded as TensorFlow's SAME does: [N, out_h, out_w, C, kh, kw]."""
    (top, bottom), (left, right) = same_pads(x.shape[1], kernel[0], stride), same_pads(x.shape[2], kernel[1], stride)
    x = np.pad(x, ((0, 0), (top, bottom), (left, right), (0, 0)), constant_values=fill)
    view = np.lib.stride_tricks.sliding_window_view(x, kernel, axis=(1, 2))
    return view[:, ::stride, ::stride]


def strided_slice(x, begin, end, strides, attrs):
    def mask(name):
        return int(attrs.get(name, {}).get("i", "0"))

    if mask("ellipsis_mask") or mask("new_axis_mask"):
        raise ValueError("StridedSlice masks not handled")
    index = []
    for axis in range(len(begin)):
        if mask("shrink_axis_mask") >> axis & 1:
            index.append(int(begin[axis]))
            continue
        b = None if mask("begin_mask") >> axis & 1 else int(begin[axis])
        e = None if mask("end_mask") >> axis & 1 else int(end[axis])
        index.append(slice(b, e, int(strides[axis])))
    return np.asarray(x)[tuple(index)]


class Graph:
    def __init__(self, model_dir):
        model = json.load(open(os.path.join(model_dir, "faceboxes.json")))
        self.nodes = {n["name"]: n for n in model["modelTopology"]["node"]}
        self.weights = read_weights(model_dir, model)
        self.values = {}

    def value(self, name):
        name, _, index = name.partition(":")
        if name not in self.values:
            self.values[name] = self.evaluate(self.nodes[name])
        result = self.values[name]
        return result[int(index or 0)] if isinstance(result, list) else result

    def evaluate(self, node):
        op, attrs = node["op"], node.get("attr", {})
        if op == "Const":
            return self.weights[node["name"]]
        args = [self.value(i) for i in node.get("input", [])]
        if op == "Cast":
            to = attrs["DstT"]["type"]
            return np.asarray(args[0], dtype=np.float64 if to in FLOAT_DTYPES else np.int64)
        simple = {
            "Identity": lambda a: a,
            "Mul": np.multiply,
            "RealDiv": np.divide,
            "Add": np.add,
            "AddV2": np.add,
            "Sub": np.subtract,
            "Neg": np.negative,
            "Exp": np.exp,
            "Ceil": np.ceil,
            "Reciprocal": lambda a: 1.0 / a,
            "Minimum": np.minimum,
            "Maximum": np.maximum,
            "Relu": lambda a: np.maximum(a, 0),
            "Shape": lambda a: np.array(np.shape(a), dtype=np.int64),
            "Size": lambda a: np.int64(np.size(a)),
            "Reshape": lambda a, s: np.reshape(a, [int(v) for v in np.ravel(s)]),
            "ExpandDims": lambda a, d: np.expand_dims(a, int(d)),
            "Tile": lambda a, m: np.tile(a, [int(v) for v in np.ravel(m)]),
            "Fill": lambda s, v: np.full([int(d) for d in s], v),
            "BroadcastTo": lambda a, s: np.broadcast_to(a, [int(d) for d in s]),
            "Range": lambda s, e, d: np.arange(int(s), int(e), int(d)),
            "Pad": lambda a, p: np.pad(a, [(int(b), int(e)) for b, e in np.reshape(p, (-1, 2))]),
        }
        if op in simple:
            return simple[op](*args)
        if op == "AddN":
            return sum(args[1:], args[0])
        if op == "Pack":
            return np.stack([np.asarray(a) for a in args], axis=int(attrs.get("axis", {}).get("i", "0")))
        if op == "Unpack":
            axis = int(attrs.get("axis", {}).get("i", "0"))
            return [np.take(args[0], k, axis=axis) for k in range(args[0].shape[axis])]
        if op == "ConcatV2":
            return np.concatenate(args[:-1], axis=int(args[-1]))
        if op == "StridedSlice":
            return strided_slice(*args, attrs)
        if op == "Softmax":
            e = np.exp(args[0] - args[0].max(axis=-1, keepdims=True))
            return e / e.sum(axis=-1, keepdims=True)
        if op == "MaxPool":
            k, s = [int(v) for v in attrs["ksize"]["list"]["i"]], [int(v) for v in attrs["strides"]["list"]["i"]]
            return windows(args[0], (k[1], k[2]), s[1], -np.inf).max(axis=(4, 5))
        if op == "_FusedConv2D":
            return self.convolution(node, args)
        raise ValueError(f"op {op} of {node['name']} not handled")

    @staticmethod
    def convolution(node, args):
        attrs = node["attr"]
        fused = [base64.b64decode(s).decode() for s in attrs["fused_ops"]["list"]["s"]]
        stride = int(attrs["strides"]["list"]["i"][1])
        if base64.b64decode(attrs["padding"]["s"]).decode() != "SAME":
            raise ValueError("only SAME convolutions are handled")
        x, kernel, bias = args
        patches = windows(x, kernel.shape[:2], stride, 0.0)  # N, H, W, C, kh, kw
        y = np.einsum("nhwcij,ijco->nhwo", patches, kernel, optimize=True) + bias
        if fused[1:] == ["Relu"]:
            y = np.maximum(y, 0)
        elif fused != ["BiasAdd"]:
            raise ValueError(f"fused ops {fused} not handled")
        return y


def canvas_frame(image_path, crop, canvas, at):
    image = np.asarray(Image.open(image_path).convert("RGB"))
    if crop:
        x, y, w, h = crop
        image = image[y : y + h, x : x + w]
    width, height = canvas
    frame = np.full((height, width, 3), 128, dtype=np.uint8)
    x, y = at
    part = image[: height - y, : width - x]
    frame[y : y + part.shape[0], x : x + part.shape[1]] = part
    return frame


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("weights_dir")
    parser.add_argument("image")
    parser.add_argument("--crop", default="")
    parser.add_argument("--canvas", default="640x480")
    parser.add_argument("--at", default="0,0")
    parser.add_argument("--top", type=int, default=3)
    args = parser.parse_args()
    canvas = [int(v) for v in args.canvas.split("x")]
    at = [int(v) for v in args.at.split(",")]

    graph = Graph(os.path.join(args.weights_dir, "human-models", "models"))
    crop = [int(v) for v in args.crop.split(",")] if args.crop else None
    frame = canvas_frame(args.image, crop, canvas, at)
    graph.values["image_tensor"] = frame[np.newaxis].astype(np.float64)
    boxes = graph.value("postprocessing/clip_by_value_1")[0]  # ymin, xmin, ymax, xmax in frame fractions
    scores = graph.value("postprocessing/strided_slice_2")[0]
    width, height = canvas
    for i in np.argsort(-scores)[: args.top]:
        ymin, xmin, ymax, xmax = boxes[i]
        print(f"score {scores[i]:.5f} box ({xmin * width:.2f},{ymin * height:.2f})-({xmax * width:.2f},{ymax * height:.2f}) anchor {i}")


if __name__ == "__main__":
    main()
