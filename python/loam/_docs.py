"""The parameter, return, error and example sections of the native functions' docstrings.

The native docstring says what a function does; the sections here say how to call it. They are
added to the functions at import (see _api) and to the stubs the reference is built from (see
tools/refine_stubs.py).
"""

from __future__ import annotations

_OPEN = """FileNotFoundError: the file does not exist (also a RuntimeError, "cannot open <path>");
        PermissionError and IsADirectoryError likewise."""

# The keyword arguments every writer of an authored object (tracts, annotations, surfaces,
# registrations) takes alike.
_AUTHORED = """    content_label: Content Label.
    content_description: Content Description.
    content_creator: Content Creator's Name.
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, serial number, series number and description.
    sop_instance_uid: the object's UID; made from its content when empty.
    series_instance_uid: its series' UID; made from its content when empty.
"""

SECTIONS: dict[str, str] = {
    "read_file_meta": f"""
Args:
    path: the file.

Returns:
    has_meta, and the transfer syntax, SOP Class and SOP Instance UIDs ("" when absent); for a
    file without meta the transfer syntax sniffed from its first elements. File meta written
    without the 128-byte preamble and "DICM" (the file opens with group 0002) is read too.

Raises:
    {_OPEN}

Example:
    >>> loam.read_file_meta("ct.dcm")["transfer_syntax"]
    '1.2.840.10008.1.2.1'
""",
    "has_pixel_data": f"""
Args:
    path: the file.

Returns:
    True when the top-level data set has (Float, Double Float) Pixel Data; False for anything
    else, malformed content included.

Raises:
    {_OPEN}

Example:
    >>> loam.has_pixel_data("ct.dcm")
    True
""",
    "read_pixel_data": f"""
Args:
    path: the file.

Returns:
    The Pixel Data value as stored (encapsulated fragments with their item headers), or None.
    An explicit big-endian file's native value keeps its big-endian byte order; a deflated
    file's value is taken from its inflated data set.

Raises:
    {_OPEN}

Example:
    >>> len(loam.read_pixel_data("ct.dcm"))
    8192
""",
    "decode": f"""
Args:
    path: the file.
    frame: 0 for every frame, n for the n-th (from 1).
    rescale: apply the modality rescale (float32), and give colour as RGB.
    lenient: accept pixel data shorter than the image needs (missing samples are zero).
    threads: worker threads for the frames of a multi-frame object (None: one per processor,
        1: the calling thread only); the result is the same whatever the count.

Returns:
    (array, meta): the array is (frames, rows, columns[, samples]); meta holds the image
    attributes (rows, photometric, window_center, pixel_spacing, ...).

Raises:
    {_OPEN}
    RuntimeError: the pixel data cannot be decoded, or the frame is out of range.
    ValueError: the image would need more memory than the limit (see set_memory_limit), or threads is below 1.

Example:
    >>> hu, meta = loam.decode("ct.dcm", rescale=True)
    >>> hu.shape, meta["photometric"]
    ((1, 64, 64), 'MONOCHROME2')
""",
    "decode_bytes": """
Args:
    data: a Part-10 file or bare data set.
    frame: 0 for every frame, n for the n-th (from 1).
    rescale: apply the modality rescale (float32), and give colour as RGB.
    lenient: accept pixel data shorter than the image needs.
    threads: worker threads for the frames of a multi-frame object (None: one per processor,
        1: the calling thread only); the result is the same whatever the count.

Returns:
    (array, meta), as decode gives them.

Raises:
    RuntimeError: the pixel data cannot be decoded, or the frame is out of range.
    ValueError: the image would need more memory than the limit, or threads is below 1.

Example:
    >>> array, meta = loam.decode_bytes(open("ct.dcm", "rb").read())
""",
    "decode_stored": f"""
Args:
    path: the file.
    frame: 0 for every frame, n for the n-th (from 1).
    lenient: accept pixel data shorter than the image needs.
    threads: worker threads for the frames of a multi-frame object (None: one per processor,
        1: the calling thread only); the result is the same whatever the count.

Returns:
    (array, meta): stored values, sign-extended, palette indices and colour space kept.

Raises:
    {_OPEN}
    RuntimeError: the pixel data cannot be decoded, or the frame is out of range.

Example:
    >>> stored, meta = loam.decode_stored("ct.dcm")
    >>> stored.dtype
    dtype('uint16')
""",
    "n_frames": f"""
Args:
    path: the file.
    threads: worker threads for the frames of a multi-frame object (None: one per processor,
        1: the calling thread only); the result is the same whatever the count.

Returns:
    The number of frames that can be decoded.

Raises:
    {_OPEN}

Example:
    >>> loam.n_frames("ct.dcm")
    1
""",
    "voi_apply": """
Args:
    values: modality values (float32, any shape).
    function: 0 LINEAR, 1 LINEAR_EXACT or 2 SIGMOID (the VOI LUT Function).
    lut_bytes: a VOI LUT's data (one byte an entry up to 8 bits, else 16-bit little endian), or None.
    lut_first: the first value the LUT maps.
    lut_depth: the LUT's bits per entry.
    window_center: the window's centre, when there is no LUT.
    window_width: the window's width, when there is no LUT.

Returns:
    float32 values in [0, 1], the shape of `values`.

Example:
    >>> loam.voi_apply(hu, 0, None, 0, 16, 40.0, 400.0).max() <= 1.0
    True
""",
    "transcode": """
Args:
    data: a Part-10 file.
    target_ts: the transfer syntax UID to write.
    quality: for lossy targets, 1 to 100.

Returns:
    The re-encoded Part-10 file.

Raises:
    RuntimeError: the input cannot be decoded, or the target cannot hold the image.

Example:
    >>> jls = loam.transcode(open("ct.dcm", "rb").read(), "1.2.840.10008.1.2.4.80")
""",
    "read_json": f"""
Args:
    source: a path, or the file's bytes.
    charset_override: a Specific Character Set to decode text with instead of the file's.
    inline_binary: include binary values as base64 (False leaves them out).

Returns:
    One line of DICOM JSON Model text.

Raises:
    {_OPEN}
    RuntimeError: the file is not DICOM or its body cannot be read.

Example:
    >>> json.loads(loam.read_json("ct.dcm"))["00100010"]["Value"][0]["Alphabetic"]
    'Demo^Phantom'
""",
    "write_part10": """
Args:
    json: DICOM JSON Model text of one data set.
    transfer_syntax: the UID to write; Implicit VR Little Endian when empty.

Returns:
    The Part-10 file, with its file meta made from the data set.

Raises:
    RuntimeError: the JSON is not a data set that can be written (the message says why).

Example:
    >>> data = loam.write_part10(loam.read_json("ct.dcm"), "1.2.840.10008.1.2.1")
""",
    "edit_part10": """
Args:
    data: a Part-10 file in any transfer syntax but deflated.
    ops: (tag, kind, value, vr) each: kind "insert", "modify" or "erase"; value bytes or str;
        vr "PN" and so on, or None to take it from the dictionary.

Returns:
    The edited file; every byte not edited is kept. An explicit big-endian file comes back in
    explicit VR little endian (its values converted), with the edits applied.

Raises:
    ValueError: an unknown kind or VR.
    RuntimeError: the file cannot be edited (not Part 10, or deflated).

Example:
    >>> out = loam.edit_part10(data, [(0x00100010, "modify", "Doe^Jane", None)])
""",
    "deidentify": """
Args:
    data: a Part-10 file.
    options: the profile's options ("key", "shift_dates_per_patient", "retain_dates", ...);
        unknown options raise.
    lookup: a list that receives (kind, original, replacement) rows, or None.
    notes: a list that receives notes on burned-in text left in the pixels, or None.
    identifiers: fixed replacements for identifiers, or None.

Returns:
    The de-identified file.

Raises:
    ValueError: an unknown option, or an option of the wrong value.
    RuntimeError: the file cannot be read.

Example:
    >>> clean = loam.deidentify(data, {"key": key, "shift_dates_per_patient": 30})
""",
    "deidentify_series": """
Args:
    files: the Part-10 files of one or more series.
    options: as for deidentify.
    lookup: a list that receives (kind, original, replacement) rows, or None.
    notes: a list that receives notes on burned-in text, or None.

Returns:
    The de-identified files, in the same order, their references kept consistent.

Raises:
    ValueError: an unknown option, or an option of the wrong value.

Example:
    >>> clean = loam.deidentify_series([a, b], {"key": key})
""",
    "scan_dicom_dir": """
Args:
    root: the folder (or one file).
    recursive: walk the folders below it too.

Returns:
    The DICOM files' paths, sorted in byte order; an unreadable folder gives no paths.

Example:
    >>> paths = loam.scan_dicom_dir("study")
""",
    "iod_validate": """
Args:
    path: the file.

Returns:
    Findings {severity, tag, module, message}, empty when the file conforms.

Raises:
    FileNotFoundError: the file does not exist (also a RuntimeError, "cannot read: <path>").
    RuntimeError: the file cannot be decoded.

Example:
    >>> [f["message"] for f in loam.iod_validate("ct.dcm") if f["severity"] == "error"]
    []
""",
    "dce_forward": """
Args:
    model: "tofts", "extended_tofts", "patlak", "2cxm" or "2cum" (any case).
    params: the model's parameters by name, or in order: tofts Ktrans, ve; extended_tofts Ktrans, ve,
        vp; patlak PS, vp; 2cxm Fp, PS, ve, vp; 2cum Fp, PS, vp. Ktrans and PS per minute, ve and vp
        fractions, Fp mL/100 mL/min (OSIPI's units).
    t: sample times in seconds, increasing.
    aif: the plasma input at t, mM.
    delay_s: the input's arrival delay, seconds (interpolated; the first value held before it).
    hct: haematocrit; with 0 < hct < 1 the aif is whole blood and is divided by 1 - hct.

Returns:
    The tissue concentration at t, mM (float64). The input is taken as linear between samples and
    each convolution with an exponential is exact for it.

Raises:
    ValueError: an unknown model or parameter, a missing one, or times that are not increasing.

Example:
    >>> ct = loam.dce_forward("tofts", {"Ktrans": 0.25, "ve": 0.3}, t, loam.dce_parker_aif(t / 60))
""",
    "dce_fit_curve": """
Args:
    ct: the tissue concentration, mM.
    t: sample times in seconds, increasing.
    aif: the plasma input at t, mM.
    model: as dce_forward.
    fit_delay: fit the arrival delay too, within -10 to 10 s (a 1 s grid, then refined).
    hct: as dce_forward.

Returns:
    A dict with the model's parameters by name, "delay" (seconds, None when not fitted), "rmse"
    (mM), "ok" and "fitted" (the model curve). Bounded Levenberg-Marquardt from OSIPI's start values
    and bounds (Ktrans or PS 0.6 in [0, 5], ve 0.2 in [0, 1], vp 0.01 in [0, 1], Fp 20 in [0, 200]);
    Patlak is solved linearly.

Raises:
    ValueError: an unknown model, curves of different lengths, times not increasing, hct outside [0, 1).

Example:
    >>> fit = loam.dce_fit_curve(ct, t, aif, "extended_tofts")
""",
    "dce_fit_volume": """
Args:
    conc: concentration, float32 [T, Z, Y, X], mM.
    t: sample times in seconds, one a frame.
    aif: the plasma input at t, mM.
    model: as dce_forward.
    mask: uint8 [Z, Y, X]; nonzero voxels are fitted (default: all).
    fit_delay: as dce_fit_curve.
    hct: as dce_forward.

Returns:
    float32 [Z, Y, X] maps of the model's parameters, "delay" (None when not fitted), "rmse", and
    "fitted" (the number of voxels fitted); voxels outside the mask are 0. Each voxel is fitted as
    dce_fit_curve does, on worker threads without the interpreter lock.

Raises:
    ValueError: an unknown model, t not matching the frames, a mask of another size.

Example:
    >>> maps = loam.dce_fit_volume(conc, t, aif, "extended_tofts", mask=brain)
""",
    "dce_fit_map": """
Args:
    conc: concentration, float32 [T, H, W], mM.
    t: sample times in seconds, one a frame.
    aif: the plasma input at t, mM.
    model: as dce_forward.
    mask: uint8 [H, W] (default: all).
    fit_delay: as dce_fit_curve.
    hct: as dce_forward.

Returns:
    As dce_fit_volume, with [H, W] maps.

Raises:
    ValueError: as dce_fit_volume.

Example:
    >>> maps = loam.dce_fit_map(conc[:, 10], t, aif, "tofts")
""",
    "tic_metrics": """
Args:
    curve: the signal, arbitrary units.
    t: sample times in seconds, increasing.
    baseline: the number of pre-contrast samples; S0 is their mean.
    early_s: the initial phase's length after bolus arrival (breast MRI: 2 minutes).
    iauc_times_s: spans after bolus arrival for the initial areas.

Returns:
    A dict: "s0"; "bolus_arrival_s" (the curve first reaches 10 % of its peak enhancement,
    interpolated); "peak_s" and "time_to_peak_s" (after arrival); "initial_enhancement_pct" (the
    largest (S - S0) / S0 of the initial phase) at "initial_s" and its "initial_class" ("slow"
    below 50 %, "medium" 50 to 100 %, "rapid" above 100 %); "delayed_change_pct" (the last sample
    against the initial-phase value) and "delayed_type" ("persistent" above +10 %, "plateau",
    "washout" below -10 %); "ser" ((S_initial - S0) / (S_last - S0)); "wash_in_pct_per_s" and
    "wash_out_pct_per_s"; "auc" (of (S - S0) / S0 over the curve, seconds) and "iauc" (the same
    from arrival over each span, keyed by span).

Raises:
    ValueError: fewer than 3 samples, a baseline that leaves none after it, times not increasing,
        S0 not positive, or curve and t of different lengths.

Example:
    >>> loam.tic_metrics(signal, t, baseline=3)["delayed_type"]
    'washout'
""",
    "dti_fit_maps": """
Args:
    dwi: the diffusion-weighted volumes, float32 [volumes, Z, Y, X].
    bvals: b-values, s/mm2, one a volume.
    bvecs: unit gradient directions (volumes, 3) in the voxel axes' frame, as DIPY takes them; a
        b = 0 volume's vector may be NaN.
    mask: uint8 [Z, Y, X]; nonzero voxels are fitted (default: all).
    method: "wls" (weights from the ordinary fit's predicted signal, as DIPY), "ols" or "nlls"
        (Levenberg-Marquardt on the signal from the weighted fit).
    min_signal: signals below it are raised to it (DIPY's 1e-4).

Returns:
    A dict of float32 maps [Z, Y, X]: "fa", "md", "ad", "rd", "mode", "s0"; "color_fa" [..., 3]
    (|principal eigenvector| * FA); "tensor" [..., 6] in DIPY's order Dxx, Dxy, Dyy, Dxz, Dyz, Dzz
    (rebuilt from the clipped eigenvalues, as DIPY reports it); "evals" [..., 3] descending, clipped
    below at 1e-6 / the largest b-matrix entry; "evecs" [..., 3, 3] with the eigenvectors as columns;
    and "fitted", the number of voxels fitted. Voxels run on worker threads.

Raises:
    ValueError: an unknown method, bvals or bvecs not matching the volumes, or a gradient table that
        cannot determine a tensor (b = 0 and six non-collinear directions are needed).

Example:
    >>> maps = loam.dti_fit_maps(dwi, bvals, bvecs, mask=loam.dti_head_mask(dwi[0]))
""",
    "dti_eigen": """
Args:
    tensor: (..., 6) tensors in the order Dxx, Dxy, Dyy, Dxz, Dyz, Dzz.
    min_diffusivity: eigenvalues below it are raised to it (DIPY's decompose_tensor: 0).

Returns:
    (evals, evecs): (..., 3) descending and (..., 3, 3) with the eigenvectors as columns.

Raises:
    ValueError: a last axis other than 6.

Example:
    >>> evals, evecs = loam.dti_eigen(maps["tensor"])
""",
    "dti_head_mask": """
Args:
    volume: a b = 0 (or mean) volume [Z, Y, X].
    median_radius: the median filter's radius (window 2r + 1 a side, edges reflected).
    numpass: how many times the filter runs.

Returns:
    uint8 [Z, Y, X]: 1 above Otsu's threshold of the filtered volume (scikit-image's, which DIPY's
    median_otsu uses when scikit-image is installed).

Raises:
    ValueError: a volume that is not 3-D, or a radius or pass count out of range.

Example:
    >>> mask = loam.dti_head_mask(dwi[0])
""",
    "dti_track": """
Args:
    directions: the principal directions [Z, Y, X, 3] (x, y, z components, the b-vectors' frame), or
        dti_fit_maps' "evecs" [Z, Y, X, 3, 3] (its first column is taken).
    fa: FA [Z, Y, X]; tracking stops where its trilinear value is not above fa_threshold, and a voxel
        with FA 0 gives no direction.
    seeds: (N, 3) seed points in voxel coordinates x, y, z (column, row, slice).
    step_size: the step, mm (voxel units scaled by the affine's voxel sizes, as DIPY does).
    max_angle: neighbours whose direction is further than this from the last step are not used.
    fa_threshold: see fa.
    min_length: streamlines shorter than this (mm) are left out.
    max_length: at most max_length / (2 step_size) steps each way (DIPY's 500 at the defaults).
    stop_mask: uint8 [Z, Y, X]; when given it replaces the FA test (nonzero: go on; nearest voxel).
    affine: the voxel-to-patient affine (4 x 4, or 16 numbers column-major); voxel sizes come from it.
    space: "voxel" or "patient" (needs the affine) for the streamlines' points.

Returns:
    A list of (points, 3) float64 arrays, one a seed kept, running from one end through the seed to
    the other. Each goes both ways from its seed along the seed voxel's direction; each step averages
    the 8 surrounding voxels' directions within max_angle (trilinear weights, signs aligned), and a
    streamline ends when those weights sum below 0.5, past the first or last voxel centre, or at the
    first point where FA (or the mask) says stop, which is kept. This is DIPY's LocalTracking with a
    peaks (EuDX) direction getter; seeds run on worker threads.

Raises:
    ValueError: directions and fa of different grids, seeds not (N, 3), an out-of-range parameter, or
        patient space without an affine.

Example:
    >>> lines = loam.dti_track(maps["evecs"], maps["fa"], seeds, step_size=0.5, max_angle=30)
""",
    "encapsulate": """
Args:
    payload: the document's bytes, or the path of its file.
    kind: "pdf", "cda", "stl", "obj" or "mtl", or its MIME type; empty: told from the content
        (see encap_detect).
    reference: a DICOM file whose patient and study (and, for 3-D models, frame of reference) the
        object joins; None: a new study with empty patient attributes.
    title: Document Title.
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, serial number, series number and description.
    sop_instance_uid: the object's UID; made from its content when empty.
    series_instance_uid: its series' UID; made from its content when empty.

Returns:
    The Part-10 bytes of the Encapsulated PDF, CDA, STL, OBJ or MTL Storage object (Explicit VR
    Little Endian), or None when written to `output`. The document is held whole: Encapsulated
    Document Length states its true size and an odd-sized one is padded with a NUL. OBJ and MTL
    carry an sRGB ICC profile; CDA its ClinicalDocument id as HL7 Instance Identifier.

Raises:
    ValueError: an empty document, an unknown kind, content of no known kind, or ASCII STL (DICOM
        holds STL in its binary form).
    FileNotFoundError: the payload path or the reference does not exist.

Example:
    >>> loam.encapsulate("report.pdf", reference="ct/IM0001.dcm", title="Report", output="report.dcm")
""",
    "read_encapsulated": """
Args:
    source: a path, or the object's bytes.

Returns:
    (payload, meta): the document exactly as encapsulated (Encapsulated Document Length bytes when
    stated), and "kind", "mime", "title", "sop_class_uid", "sop_instance_uid",
    "series_instance_uid", "study_instance_uid", "patient_name", "patient_id" and "length_stated".

Raises:
    RuntimeError: not a DICOM file, no Encapsulated Document in it, or a stated length beyond it.

Example:
    >>> pdf, meta = loam.read_encapsulated("report.dcm")
""",
    "encap_detect": """
Args:
    payload: a document's bytes.

Returns:
    "pdf" (%PDF-), "cda" (XML with a ClinicalDocument), "stl" (binary, its triangle count filling
    the rest, or ASCII with facets), "obj" (v, vt, vn, f ... statements), "mtl" (newmtl), or None.

Raises:
    TypeError: payload is not bytes.

Example:
    >>> loam.encap_detect(open("part.stl", "rb").read())
    'stl'
""",
    "write_mktract": f"""
Args:
    reference_paths: the images the tracks were computed from (one frame of reference); patient,
        study and frame of reference come from the first, and all are referenced.
    track_sets: dicts of "label" (required), "tracks" (required: (points, 3) arrays in patient LPS
        mm; see dti_tracks_to_patient), "description", "rgb" (0 to 255, stored as CIELab),
        "anatomy", "acquisition" (CID 7260, default DTI), "model" (CID 7261, default Single
        Tensor) as (value, scheme, meaning) codes, "algorithm" {{"family" (CID 7262, default
        Deterministic), "name", "version", "parameters"}}, and "measurements", each {{"quantity",
        "unit" codes, "values": one array a track, one value a point}}.
{_AUTHORED}
Returns:
    The Part-10 bytes of the Tractography Results object (points as float32), or None when written
    to `output`.

Raises:
    ValueError: a set without label or tracks, a track that is not (points, 3) or holds a
        non-finite point, a measurement that misses a point, an unknown key, or references
        without a frame of reference.

Example:
    >>> lines = loam.dti_track(maps["evecs"], maps["fa"], seeds, affine=affine, space="patient")
    >>> loam.write_mktract(dwi_paths, [{{"label": "CST", "tracks": lines}}], output="tracts.dcm")
""",
    "read_tract": """
Args:
    source: a path, or the object's bytes.

Returns:
    {"track_sets": [{"label", "description", "tracks" (float32 (points, 3) arrays, LPS mm), "rgb",
    "anatomy", "acquisition", "model", "algorithm", "measurements"}], "content_label",
    "content_description", "content_creator", the SOP instance, series, study and frame of
    reference UIDs, "patient_name" and "patient_id"}.

Raises:
    RuntimeError: not a DICOM file, or not a Tractography Results object.

Example:
    >>> tracks = loam.read_tract("tracts.dcm")["track_sets"][0]["tracks"]
""",
    "write_ann": f"""
Args:
    reference_path: the slide image annotated (a VL Whole Slide Microscopy instance); patient,
        study, specimen and frame of reference come from it, and image coordinates reference it.
    groups: dicts of "label" and "graphic_type" ("POINT", "POLYLINE", "POLYGON", "ELLIPSE" with
        its major then minor axis end points, "RECTANGLE" with its 4 corners), and either
        "annotations" (one (points, 2 or 3) array an annotation) or "coordinates" (all points,
        one array) with "starts" (each annotation's first point, 0-based; not needed for the
        types of fixed point counts). Optional: "category" and "type" (value, scheme, meaning)
        codes (default Anatomical Structure, Tissue), "description", "generation" ("MANUAL",
        "SEMIAUTOMATIC", "AUTOMATIC": the last two need "algorithm" {{"name", "version",
        "family" code, "parameters"}}), "rgb", "optical_path" (the identifier the group applies
        to; all when absent), "all_z_planes" and "common_z" (slide coordinates), "double"
        (float64 coordinates; default from the arrays' dtype), "measurements" ({{"name", "unit"
        codes, "values": one an annotation, NaN where none}}), "number" and "uid". read_ann's
        groups are accepted as they come.
    coordinate_type: "2D", (column, row) in the Total Pixel Matrix, the top left corner of the
        top left pixel at (0, 0) as highdicom and QuPath count; or "3D", (x, y, z) mm in the
        slide's frame of reference.
    pixel_origin: "VOLUME" (the whole Total Pixel Matrix) or "FRAME" (image coordinates).
{_AUTHORED}
Returns:
    The Part-10 bytes of the Microscopy Bulk Simple Annotations object (polyline and polygon
    starts stored as 1-based indices of their first values), or None when written to `output`.

Raises:
    ValueError: an unknown graphic type or key, an annotation with the wrong number of points,
        a non-finite coordinate, a measurement without a value slot for every annotation, an
        automatic group without its algorithm, or slide coordinates on a slide without a frame
        of reference.

Example:
    >>> nuclei = {{"label": "nuclei", "graphic_type": "POINT", "coordinates": centres}}
    >>> loam.write_ann("slide/instance0.dcm", [nuclei], output="nuclei.dcm")
""",
    "read_ann": """
Args:
    source: a path, or the object's bytes.

Returns:
    {"groups": [{"number", "uid", "label", "description", "graphic_type", "coordinates"
    ((points, 2 or 3) float32 or float64 as stored; a common Z filled in), "starts" (int64, each
    annotation's first point, 0-based), "double", "category", "type", "generation", "algorithm"
    (None or {"family", "name", "version", "parameters"}), "rgb", "optical_path" (None: all),
    "all_z_planes", "common_z", "measurements" ([{"name", "unit", "values": float32 one an
    annotation, NaN where none}])}], "coordinate_type", "pixel_origin", "content_label",
    "content_description", "content_creator", the SOP instance, series, study and frame of
    reference UIDs, "referenced_image_uid", "patient_name" and "patient_id"}.
    loam.annotations.annotation_list(group) splits a group into one array an annotation.

Raises:
    RuntimeError: not a DICOM file, not an annotations object, or a group whose points, indices
        or measurements do not agree.

Example:
    >>> group = loam.read_ann("nuclei.dcm")["groups"][0]
""",
    "write_surface": f"""
Args:
    reference_paths: the images the surfaces were made from (one frame of reference); patient,
        study and frame of reference come from the first, and all are referenced.
    segments: dicts of "label" (required), "description", "category", "type" and "anatomic"
        (value, scheme, meaning) codes, "algorithm_type" ("MANUAL", "SEMIAUTOMATIC" or
        "AUTOMATIC", which needs "algorithm_name"), and "surfaces": meshes, each {{"vertices"
        ((points, 3) in patient LPS mm), "faces" ((triangles, 3) vertex indices from 0), and
        optionally "normals" (one a vertex), "rgb", "opacity" (0 to 1), "presentation"
        ("SURFACE", "WIREFRAME", "POINTS"), "finite_volume" and "manifold" ("YES", "NO",
        "UNKNOWN"; found from the faces when absent), "comments", "algorithm" {{"family" code,
        "name", "version"}} (how the mesh was made)}}. A segment of one mesh may hold the mesh's
        keys itself instead of "surfaces" (loam.surfaces.from_labels makes one).
{_AUTHORED}
Returns:
    The Part-10 bytes of the Surface Segmentation (points as float32, triangles stored from 1 in
    Long Triangle Point Index List), or None when written to `output`.

Raises:
    ValueError: a segment without label or mesh, a face naming a vertex that is not there, a
        non-finite vertex or normal, an unknown key or value, or references without a frame of
        reference.

Example:
    >>> from loam.surfaces import from_labels
    >>> mesh = from_labels(labels, meta["affine"], label=1)
    >>> loam.write_surface(paths, [{{"label": "liver", "rgb": (220, 120, 80), **mesh}}], output="liver.dcm")
""",
    "read_surface": """
Args:
    source: a path, or the object's bytes.

Returns:
    {"segments": [{"label", "description", "category", "type", "anatomic" (None when absent),
    "algorithm_type", "algorithm_name", "surfaces": [{"vertices" (float32 (points, 3), LPS mm),
    "faces" (int64 (triangles, 3), from 0 as mesh libraries count), "normals" (or None), "rgb",
    "opacity", "presentation", "finite_volume", "manifold", "comments", "algorithm"}]}],
    "content_label", "content_description", "content_creator", the SOP instance, series, study
    and frame of reference UIDs, "patient_name" and "patient_id"}.

Raises:
    RuntimeError: not a DICOM file, not a Surface Segmentation, or a mesh whose points,
        normals or triangles do not agree.

Example:
    >>> from loam.surfaces import save_stl
    >>> mesh = loam.read_surface("liver.dcm")["segments"][0]["surfaces"][0]
    >>> save_stl("liver.stl", mesh["vertices"], mesh["faces"])
""",
    "write_registration": f"""
Args:
    fixed_paths: the images of the registered frame (the fixed images); patient, study and the
        object's Frame of Reference come from the first.
    registrations: dicts, one a source frame: "frame_of_reference_uid" (or "images", the source
        images' paths, from which it is read and which are referenced), "comment",
        "registration_type" (a (value, scheme, meaning) code, CID 7100) and
        - rigid: "matrix" or "matrices" (4 x 4, row-major, column vectors, taking points of the
          source frame into the fixed one; several are applied first to last, M_n ... M_1),
          each a matrix or {{"matrix", "type"}} ("RIGID", "RIGID_SCALE", "AFFINE"; found from
          the matrix when not given);
        - deformable: "pre" and "post" (4 x 4; identity when absent) and "grid" {{"origin" (the
          first grid point, mm), "orientation" (6 direction cosines; axial when absent),
          "spacing" (x, y, z mm), "vectors" ((z, y, x, 3) float32 displacements, mm)}}, which
          take points of the fixed frame into the source frame: post (pre R + D(R)).
    deformable: write a Deformable Spatial Registration instead of a Spatial Registration.
{_AUTHORED}
Returns:
    The Part-10 bytes of the registration (a rigid one opens with an identity item for the fixed
    frame, as readers expect), or None when written to `output`.

Raises:
    ValueError: a registration without source frame or matrix, a singular matrix, a matrix that
        is not of its stated type, a last row other than 0 0 0 1, a grid whose vectors do not
        fill it, an unknown key, or fixed images without a frame of reference.

Example:
    >>> loam.write_registration(ct_paths, [{{"images": mr_paths, "matrix": mr_to_ct}}], output="reg.dcm")
""",
    "read_registration": """
Args:
    source: a path, or the object's bytes.

Returns:
    {"deformable", "registered_frame" (the object's Frame of Reference UID), "registrations":
    [{"frame_of_reference_uid" (the source frame), "images" (SOP Instance UIDs), "matrices"
    ([{"matrix" (4 x 4 float64), "type"}]), "matrix" (rigid: their product, source to
    registered; None when deformable), "pre", "post" (4 x 4 or None), "grid" (None or
    {"origin", "orientation", "spacing", "vectors" (z, y, x, 3)}), "comment",
    "registration_type"}], "content_label", "content_description", "content_creator", the SOP
    instance, series, study and frame of reference UIDs, "patient_name" and "patient_id"}.

Raises:
    RuntimeError: not a DICOM file, not a registration, or a matrix or grid that is incomplete.

Example:
    >>> found = loam.read_registration("reg.dcm")
""",
    "registration_transform": """
Args:
    source: a path, or the object's bytes.
    from_frame: the Frame of Reference UID whose points are mapped.
    to_frame: the Frame of Reference UID they are mapped into.

Returns:
    A 4 x 4 float64 matrix (row-major, for column vectors) when the object relates the frames
    rigidly: an item's product M_n ... M_1 from its source frame to the registered frame, its
    inverse the other way, and inverse(to) . from between two source frames. For a deformable
    registration from the registered frame to a source frame: {"pre", "post", "grid",
    "from_frame", "to_frame"}, R going to post (pre R + D(R)); loam.registration.map_points
    applies either, and loam.registration.to_sitk makes a SimpleITK transform of it (pass
    fixed to moving for sitk.Resample).

Raises:
    ValueError: no registration of the object relates the two frames, a singular matrix, or a
        deformation asked for backwards (its inverse is not stored).
    RuntimeError: not a DICOM file, or not a registration.

Example:
    >>> to_mr = loam.registration_transform("reg.dcm", ct_frame, mr_frame)
""",
    "radiomics_features": """
Features as the Image Biomarker Standardisation Initiative defines them: morphology (marching
cubes mesh through the midpoints between voxel centres, convex hull, principal axes, enclosing
ellipsoid, Moran's I and Geary's C), local intensity peaks, intensity statistics, intensity
histogram, intensity-volume histogram, and the texture matrices GLCM, GLRLM, GLSZM, GLDZM, NGTDM
and NGLDM aggregated per slice (2D), over slices (2.5D) and over the volume (3D). The image is
resampled, re-segmented and discretised as settings say; diag_* keys report the grid and masks
features came from.

Args:
    image: (slices, rows, columns) intensities.
    mask: the region of interest, same shape; voxels equal to label are in it.
    spacing: (z, y, x) voxel spacing in mm; or give affine.
    affine: the voxel-to-patient affine (4 x 4, or 16 numbers column-major); its column lengths
        give the spacing.
    settings: a plain dict, pyradiomics' parameter names where it has them: binWidth (25) or
        binCount; resampledPixelSpacing [x, y, z] mm (0 keeps an axis; none: no resampling) on
        the grid IBSI aligns with the old one's centre; interpolator ("linear" default,
        "nearest", "cubic"/"sitkBSpline", sitk names too) and maskInterpolator, maskThreshold
        (0.5: the partial volume a resampled mask voxel needs); roundIntensities (CT: round the
        resampled image); resegmentRange [lower, upper] (None leaves a bound open; with
        resegmentMode "sigma", [-k, k] standard deviations), resegmentSigma (outlier filter after
        the range); ivhBinWidth or ivhBinCount (the intensity-volume histogram's discretisation;
        none by default); distances [1]; gldm_a (NGLDM coarseness, 0); aggregation "2D", "3D"
        or "all" (2D and 2.5D texture; 3D texture; both), force2D; geospatial (Moran's I and
        Geary's C, quadratic in the ROI's size; True); peakVolume (1000 mm3); featureClass (a
        list of families: morphology, local_intensity, statistics, intensity_histogram,
        intensity_volume_histogram, texture, or pyradiomics' shape, firstorder, glcm, glrlm,
        glszm, gldm, ngtdm); label; voxelArrayShift (pyradiomics' energy shift); voxelBased
        with kernelRadius (1): feature maps instead of values, each voxel's from the cube of
        that radius about it within the region (statistics, histogram and texture families),
        computed on threads; filter: features of a filter's response map within the region the
        intensities gave (after resampling and re-segmentation), a dict with "type" "mean"
        (size), "log" (sigma mm, truncate), "laws" (kernels per axis x first, "E5L5S5";
        energy_distance), "gabor" (sigma, wavelength mm, gamma, theta and theta_step in degrees
        from x towards y, orthogonal_planes) or "wavelet" (wavelet haar, db1-db4, coif1, sym4;
        response "LHL", x first; level, undecimated), each with dims (3, or 2 slice by slice),
        padding (constant, nearest, periodic, mirror), rotation_invariant and pooling (max,
        average) over the right-angle rotations; imageType: pyradiomics' dict of image types,
        Original, LoG ({"sigma": [mm, ...]}, scale-normalised), Wavelet ({"wavelet": "coif1",
        "level": 1}: its eight undecimated responses), Square, SquareRoot, Logarithm,
        Exponential, Gradient, LBP2D ({"lbp2DRadius": 1, "lbp2DSamples": 8}, uniform); each
        type's features carry its name ("wavelet-LLH_glcm_Idmn",
        IBSI tags prefixed the same way), shape features the original's only. Unknown keys
        raise.
    label: the mask value of the region.
    convention: "ibsi" (IBSI tags: morph_volume, cm_joint_max_3D_avg, ...) or "pyradiomics"
        (original_glcm_Idmn, ...; its defaults: bin width 25 with bin edges at multiples of it,
        no resampling, B-spline image and nearest-neighbour mask interpolation when resampling,
        3D texture averaged over 13 directions, kurtosis not in excess, plus numeric
        diagnostics_* keys).

Returns:
    {name: value} in the order of the IBSI tables; NaN where a feature is undefined (a 2D
    aggregation of a slice too small for it, a variance of one value). With voxelBased,
    {name: float32 map} on the (resampled) grid, NaN outside the region.

Raises:
    ValueError: shapes that differ, an empty region (also after resampling or re-segmentation),
        NaN inside the region, a setting out of range or unknown.
    TypeError: a setting of the wrong type.

Example:
    >>> f = loam.radiomics_features(ct, mask, (2.0, 0.98, 0.98), settings={"binWidth": 25})
    >>> f["morph_volume"], f["cm_joint_max_3D_avg"]
""",
    "radiomics_features_prepared": """
Features of an image already resampled and discretised: it holds grey levels (integers from 1)
inside the mask, used as they are for the statistics, histograms and texture; no resampling,
re-segmentation or discretisation. Batches that prepare once and vary other settings, and
phantoms given as grey levels, use it.

Args:
    levels: (slices, rows, columns) grey levels, positive integers inside the mask.
    mask: the region of interest, same shape; voxels equal to label are in it.
    spacing: (z, y, x) voxel spacing in mm; or give affine.
    affine: the voxel-to-patient affine; its column lengths give the spacing.
    settings: as radiomics_features; its resampling, re-segmentation and discretisation keys
        have no effect.
    label: the mask value of the region.
    convention: "ibsi" or "pyradiomics", as radiomics_features.

Returns:
    {name: value} as radiomics_features.

Raises:
    ValueError: a grey level that is not a positive integer, shapes that differ, an empty mask.

Example:
    >>> f = loam.radiomics_features_prepared(phantom, mask, (2.0, 2.0, 2.0))
""",
    "radiomics_file": """
Features of a region of interest read from files: the image a NIfTI file (.nii, .nii.gz; its
scl_slope and scl_inter applied) or a folder of one DICOM series (rescaled, assembled as
assemble_volume does), the region a NIfTI mask on the same grid, a DICOM Segmentation whose
slices lie on the image's, or an RT Structure Set whose ROI is rasterised on the image's slices
(as roi_mask does). Then as radiomics_features.

Args:
    image_path: a NIfTI image, or a folder of one DICOM series.
    mask_path: a NIfTI mask, a DICOM Segmentation or an RT Structure Set.
    settings: as radiomics_features.
    label: the NIfTI mask's value; the Segmentation's segment number or label; the structure
        set's ROI number or name.
    convention: "ibsi" or "pyradiomics", as radiomics_features.

Returns:
    {name: value} as radiomics_features.

Raises:
    ValueError: an image that is neither NIfTI nor a folder, a folder without DICOM files, a
        mask of another shape or affine, no such segment or ROI (the message lists those there
        are), a Segmentation slice on no image slice, and radiomics_features' errors.
    RuntimeError: a file that cannot be read or decoded.

Example:
    >>> f = loam.radiomics_file("ct/", "rtstruct.dcm", {"binWidth": 25}, label="GTV-1")
""",
    "dti_tracks_to_patient": """
Args:
    streamlines: (points, 3) arrays as DIPY or nibabel hold them.
    affine: the image's 4 x 4 voxel-to-RAS matrix (a NIfTI's affine, or TrackVis' voxel_to_rasmm).
    space: "rasmm" (nibabel's default: RAS mm), "vox" (voxel indices) or "voxmm" (TrackVis: voxel
        indices times voxel sizes).
    origin: "center" (NIfTI and DIPY: voxel centres at integers) or "corner" (TrackVis: a voxel's
        corner at 0, its centre at 0.5).

Returns:
    float32 (points, 3) arrays in patient LPS mm, as DICOM holds them: RAS with x and y negated.

Raises:
    ValueError: an unknown space or origin, an affine that is not 4 x 4, or a streamline that is
        not (points, 3).

Example:
    >>> lps = loam.dti_tracks_to_patient(trk.streamlines, trk.affine)
""",
    "validate": """
Args:
    path: the file.

Returns:
    Findings {severity, tag, module, message, path}: the IOD layer's (as iod_validate), then
    the module definitions' value checks (module: the module's name), then the element layers
    (module "vr", "vm", "retired", "private" or "file-meta"). path names the element from the
    top, "ReferencedSeriesSequence[0].SeriesInstanceUID". Empty when the file conforms.

Raises:
    FileNotFoundError: the file does not exist (also a RuntimeError, "cannot read: <path>").
    RuntimeError: the file cannot be decoded.

Example:
    >>> [f["path"] for f in loam.validate("ct.dcm") if f["module"] == "vr"]
    ['StudyDate']
""",
    "assemble_volume": """
Args:
    paths: the files of one series (others are left out by the rules described above).

Returns:
    (volume, meta): float32 (slices, rows, columns) in modality units; meta holds the affine
    (16 floats, column-major, voxel to patient LPS), the spacing [z, y, x] and what grouped the
    frames.

Raises:
    RuntimeError: no frame decodes, or two frames at one position cannot be told apart.

Example:
    >>> volume, meta = loam.assemble_volume(loam.scan_dicom_dir("series"))
""",
    "write_nifti_volume": """
Args:
    array: (slices, rows, columns) or (volumes, slices, rows, columns): uint8, uint16, int16 or float32.
    affine: the voxel-to-LPS affine, 16 numbers, column-major (as assemble_volume gives).
    path: the file; ".nii.gz" compresses.
    scl_slope: the slope from stored to real values.
    scl_inter: the intercept from stored to real values.
    repetition_time: seconds between volumes, or 0.
    rgb: the array is uint8 (..., 3) RGB.

Raises:
    RuntimeError: the file cannot be written.

Example:
    >>> loam.write_nifti_volume(volume, meta["affine"], "ct.nii.gz")
""",
    "read_nifti": f"""
Args:
    path: a NIfTI-1 file (.nii or .nii.gz).

Returns:
    (array, meta): the voxels, and the affine (in LPS), spacing, time points and scaling.

Raises:
    {_OPEN}
    RuntimeError: the file is not NIfTI-1, or of a data type not read.

Example:
    >>> array, info = loam.read_nifti("ct.nii.gz")
""",
    "write_seg": """
Args:
    reference_paths: the single-frame images of the reference series.
    labelmap: uint16 (rows, columns) or (slices, rows, columns), slices along the series normal.
    segments: one dict a segment: label, labelID, rgb, category / type / anatomic codes, algorithm.
    output: a file to write; the bytes are returned when empty.
    sop_instance_uid: the Segmentation's UID; derived from the content when empty.
    series_instance_uid: its series UID; derived from the content when empty.
    dimension_organization_uid: derived from the content when empty.
    content_date: YYYYMMDD; today when empty.
    content_time: HHMMSS; now when empty.
    identity: manufacturer, model, software versions, series number and description, content
        creator, replacing the defaults.

Returns:
    The Part-10 bytes, or None when written to `output`.

Raises:
    ValueError: a shape that does not match the series, no voxel of any segment, an unknown key.

Example:
    >>> loam.write_seg(paths, labels, [{"label": "liver", "labelID": 1}], "seg.dcm")
""",
    "read_seg": f"""
Args:
    path: a Segmentation.
    masks: give one occupancy map a segment instead of a label map.

Returns:
    (label map uint16 (slices, rows, columns), meta), or with masks=True (float32 (segments,
    slices, rows, columns), meta); None when the file holds no segment frames.

Raises:
    {_OPEN}
    RuntimeError: the file is not a Segmentation that can be decoded.

Example:
    >>> found = loam.read_seg("seg.dcm")
""",
    "sr_code_meaning": """
Args:
    value: the Code Value, e.g. "24028007".
    scheme: the Coding Scheme Designator, e.g. "SCT"; a retired "SRT" code is looked up as its
        SNOMED CT equivalent.

Returns:
    The code's meaning in the DICOM context groups (PS3.16), e.g. "Right"; where groups differ
    (SCT 66787007 is "Cranial" in some, "Cephalic" in others) the one most of them use. None when
    no context group has the code.

Example:
    >>> loam.sr_code_meaning("24028007", "SCT")
    'Right'
""",
    "sr_cid_has": """
Args:
    cid: the context group number, e.g. 244 (Laterality).
    value: the Code Value.
    scheme: the Coding Scheme Designator; "SRT" codes are read as their SNOMED CT equivalents.

Returns:
    Whether the group has the code (compared by value and scheme, never by meaning).

Raises:
    ValueError: a cid that is not a positive number, or a group the tables do not have (twelve
        groups of PS3.16 have no codes in the source tables, among them CID 101).

Example:
    >>> loam.sr_cid_has(244, "7771000", "SCT")
    True
""",
    "sr_validate_code": """
Args:
    value: the Code Value.
    scheme: the Coding Scheme Designator.
    meaning: the Code Meaning to check, if any.

Returns:
    {"valid": no errors, "known": a context group has the code, "value" and "scheme": the code to
    use (SCT for a retired SRT code, as pydicom's snomed mapping gives it), "meaning": its standard
    meaning or None, "errors": [...], "warnings": [...]}. Errors: an empty value or scheme, an SCT
    value that is not a SNOMED CT identifier. Warnings: a retired SRT code, a code in no context
    group, a meaning that is not one the groups give the code (or differs from it only in case).

Example:
    >>> loam.sr_validate_code("T-28000", "SRT", "Lung")["value"]
    '39607008'
""",
    "content_json": """
Args:
    source: a structured report (any SR storage class, or a Key Object Selection): bytes or a path.

Returns:
    The document as JSON text, in the layout write_sr takes back: "sop_class_uid",
    "sop_instance_uid", "series_instance_uid", "study_instance_uid", "patient" {name, id,
    birth_date, sex}, "study" {date, time, id, accession_number, referring_physician_name,
    description}, "series" {number, description}, "instance_number", "content_date",
    "content_time", "manufacturer", "completion_flag", "verification_flag" (and
    "preliminary_flag" when set), "evidence" and "other_evidence" (one entry per referenced
    instance: study_instance_uid, series_instance_uid, sop_class_uid, sop_instance_uid),
    "verifying_observers" [{name, organization, datetime}] and "content", the root item.

    A content item has "value_type", "relationship" (not on the root), "concept" {value, scheme,
    meaning, scheme_version?} and, when present, "observation_uid" and "observation_datetime";
    its value by type: TEXT "text"; DATETIME "datetime"; DATE "date"; TIME "time"; UIDREF "uid";
    PNAME "person_name"; CODE "code"; NUM "value" (a number, or null when the measured value
    sequence is empty), "unit", "qualifier", "float_value"; CONTAINER "continuity" and "template"
    {id, mapping_resource}; COMPOSITE, IMAGE, WAVEFORM "reference" {sop_class_uid,
    sop_instance_uid, frames?, segments?, channels?}; SCOORD "graphic_type", "graphic_data" (column,
    row pairs); SCOORD3D also "frame_of_reference_uid" ((x, y, z) triples); TCOORD
    "temporal_range_type" and one of "sample_positions", "time_offsets", "datetimes". Its
    "children" follow in order. A by-reference relationship is an item with "relationship" and
    "referenced_content" (the target's item identifier, e.g. [1, 3, 2]) and no value type. Keys
    without a value are left out. Text is UTF-8, decoded under the document's character set.

Raises:
    ValueError: bytes that are not a DICOM data set, or a data set without SR content.

Example:
    >>> tree = json.loads(loam.content_json("sr.dcm"))
    >>> tree["content"]["concept"]["meaning"]
    'Imaging Measurement Report'
""",
    "write_sr": """
Args:
    content: a document in content_json's layout, as a dict (every key but "content" optional;
        unknown keys are refused).
    output: a path to write the file to; empty to get the bytes.
    identity: replaces the defaults of manufacturer ("loam", used when content has none),
        manufacturer_model_name, software_versions, device_serial_number, series_number (1) and
        series_description.
    require_evidence: refuse content that references instances the "evidence" or
        "other_evidence" lists do not hold (the standard requires them there); False writes such
        content as it stands, as some older documents have it.

Returns:
    The Part-10 bytes (Explicit VR Little Endian, UTF-8), or None when written to output. The
    storage class is the given "sop_class_uid" or the least that holds the tree: Comprehensive 3D
    with SCOORD3D, Comprehensive with NUM, SCOORD, TCOORD or references by identifier, else Basic
    Text. UIDs that are not given are derived from the content (one input, one file); a missing
    content date and time are the study's, else the current UTC ones; completion "COMPLETE",
    verification "UNVERIFIED". Reading the file with content_json gives the layout back.

Raises:
    ValueError: content the storage class cannot hold or that lacks what a value type requires,
        named by the item's position (e.g. "content item 1.3.2 (NUM): a measured value needs its
        unit"), unknown keys, and unlisted evidence.
    TypeError: a value of the wrong type.

Example:
    >>> data = loam.write_sr({"content": {"value_type": "CONTAINER",
    ...     "concept": {"value": "11528-7", "scheme": "LN", "meaning": "Radiology Report"},
    ...     "children": [{"relationship": "CONTAINS", "value_type": "TEXT",
    ...                   "concept": {"value": "121071", "scheme": "DCM", "meaning": "Finding"},
    ...                   "text": "No acute findings."}]}})
""",
    "sr_regions": """
Args:
    source: a structured report: bytes or a path.

Returns:
    One dict per SCOORD or SCOORD3D item, in document order: "item" (its identifier, e.g.
    "1.4.2.3"), "value_type", "graphic_type", "points" ([column, row] pairs, or [x, y, z]
    triples), "concept" (the item's concept name), "measurement" (the NUM it was inferred for,
    or None), "frame_of_reference_uid" (SCOORD3D), "image" {sop_class_uid, sop_instance_uid,
    frames} (the image a SCOORD was selected from, as a child or by item identifier; else None),
    "group" (the number of the Measurement Group, DCM 125007, it lies in, counted from 1 in
    document order; None outside any), "tracking_id" and "tracking_uid" (the group's DCM 112039
    and 112040, or None).

Raises:
    ValueError: not a DICOM data set, or no SR content.

Example:
    >>> [(r["tracking_id"], r["graphic_type"]) for r in loam.sr_regions("sr.dcm")]
    [('LungNodule0001', 'CIRCLE')]
""",
    "sr_to_html": """
Args:
    source: a structured report: bytes or a path.

Returns:
    An HTML5 page (UTF-8 text): the document header as a table (patient, study, series,
    manufacturer, flags, verifying observers, content date and time), then the content tree as
    DCMTK's dsr2html lays it out: the document title, a heading for each container, each other
    item's relationship, concept name and value (codes as "meaning (value, scheme)", numbers with
    their unit code, dates and times as 2024-03-01 10:15:00, person names as read aloud,
    references with their SOP class name, instance UID and frames, coordinates with their points),
    items referred to by identifier as links. Every text is escaped; the page passes a strict
    HTML5 parser.

Raises:
    ValueError: not a DICOM data set, or no SR content.

Example:
    >>> Path("report.html").write_text(loam.sr_to_html("sr.dcm"))
""",
    "write_measurement_report": """
Args:
    report: dcmqi's TID 1500 metadata (its sr-tid1500 JSON schema) as a dict, or the path of such a
        JSON file: SeriesDescription, SeriesNumber, InstanceNumber, imageLibrary and
        compositeContext (file names), observerContext (PERSON with PersonObserverName, or DEVICE
        with DeviceObserverUID and its name, manufacturer, model and serial number),
        VerificationFlag, CompletionFlag, activitySession, timePoint, procedureReported and
        Measurements: groups with TrackingIdentifier (and TrackingUniqueIdentifier), Finding,
        FindingSite, Laterality, MeasurementMethod, ReferencedSegment,
        segmentationSOPInstanceUID, SourceSeriesForImageSegmentation, rwvmMapUsedForMeasurement,
        measurementAlgorithmIdentification, qualitativeEvaluations, a region instead of a segment
        (beyond dcmqi's schema: "ImageRegion" {GraphicType, GraphicData, ReferencedSOPInstanceUID
        of an image library image, ReferencedFrameNumber?} for a planar ROI group, TID 1410, or
        "VolumeSurface" {GraphicType, GraphicData, FrameOfReferenceUID}) and measurementItems (value,
        quantity, units, derivationModifier, measurementModifiers,
        measurementDerivationParameters, measurementNumProperties,
        measurementPopulationDescription, measurementAlgorithmIdentification). Codes are
        {CodeValue, CodingSchemeDesignator, CodeMeaning}.
    image_library_dir: the folder of the imageLibrary files (by default the JSON file's folder).
    composite_context_dir: the folder of the compositeContext files (the segmentations and real
        world value maps the groups refer to; by default the JSON file's folder).
    output: a path to write the file to; empty to get the bytes.
    identity: replaces the defaults of manufacturer ("loam"; also the verifying organization),
        manufacturer_model_name, software_versions, device_serial_number, series_number and
        series_description.

Returns:
    A Comprehensive SR (TID 1500 Imaging Measurement Report) as tid1500writer writes it: dcmqi's
    tid1500reader reads it to the same JSON. Groups measured in a segment or a volume surface are
    TID 1411, in an image region TID 1410, the others image measurements (TID 1501). Patient and study come from the
    first image library file; every file is listed as evidence; missing tracking UIDs are derived
    from the content. A value of "nan" (or "inf", "-inf") is kept as a measurement without value
    and the qualifier "Not a number" (DCM 114000), where tid1500writer leaves the measurement out.

Raises:
    ValueError: a missing tracking identifier or finding, a value that is not a number, a
        segmentation or map not among the composite context files, files that cannot be read,
        unknown keys.

Example:
    >>> loam.write_measurement_report("sr-tid1500-example.json", "ct", "context", output="sr.dcm")
""",
    "read_measurement_report": """
Args:
    source: a TID 1500 measurement report: bytes or a path.
    rows: one row per measurement instead of dcmqi's layout.

Returns:
    dcmqi's layout as tid1500reader writes it (imageLibrary and compositeContext as SOP Instance
    UIDs, values as the document writes them, "nan" for a measurement without value that says
    so), with "ImageRegion" or "VolumeSurface" for groups measured in a region, for reports
    written by dcmqi, highdicom or us; older reports coded in SNOMED-RT are read too. With rows: a list of dicts, one per measurement, ready for a data frame: group,
    tracking_id, tracking_uid, finding, finding_site, laterality, quantity, derivation, method
    (each a meaning, with "<name>_code" as "scheme:value"), value (a float; NaN when absent),
    unit (its code value), segmentation_uid, segment, source_series.

Raises:
    ValueError: not a DICOM data set, no SR content, or not an Imaging Measurement Report.

Example:
    >>> import pandas as pd
    >>> table = pd.DataFrame(loam.read_measurement_report("sr.dcm", rows=True))
""",
    "write_report": """
Args:
    report: a dict: "title" (a code, default LN 18748-4 "Diagnostic Imaging Report"), "observer"
        (a person name, e.g. "Smith^John"), "sections" and any header key of content_json's
        layout (patient, study, series, evidence, UIDs, dates, flags). "sections" maps section
        names to their statements, in order: history, request, clinical information, indications,
        patient presentation, procedure, prior procedures, previous findings, findings,
        impressions, recommendations, conclusions, summary, complications, key images, addendum
        (the headings of CID 7001); or is a list of {"heading": a name or a code, "statements":
        [...]}. A statement is a str (a TEXT), or {"text": ...} or {"code": {value, scheme,
        meaning}}, with an optional "concept" (by default the section's element: Finding,
        Impression, Recommendation, Conclusion, History, ...) and "images" [{sop_class_uid,
        sop_instance_uid, frames?}] it was inferred from.
    output: a path to write the file to; empty to get the bytes.
    identity: as write_sr's.
    require_evidence: as write_sr's: cited images must be listed in "evidence".

Returns:
    A Basic Text SR (Comprehensive when the header asks for it) with the TID 2000 tree: language,
    observer, one CONTAINER per section holding its statements; or None when written to output.

Raises:
    ValueError: an unknown section name, a statement with neither or both of text and code,
        images not listed as evidence, unknown keys.

Example:
    >>> loam.write_report({"patient": {"name": "Doe^Jane", "id": "P1"},
    ...                    "sections": {"findings": ["No nodules."], "impressions": ["Normal chest CT."]}},
    ...                   output="report.dcm")
""",
    "read_report": """
Args:
    source: a diagnostic imaging report (TID 2000), bytes or a path.

Returns:
    The dict write_report takes: content_json's header keys, "title", "observer" (or None) and
    "sections" as a list of {"heading": its name (or its code when it is not one of CID 7001's),
    "statements": [{"concept", "text" or "code", "images"?}]}.

Raises:
    ValueError: not a DICOM data set, or no SR content.

Example:
    >>> [s["heading"] for s in loam.read_report("report.dcm")["sections"]]
    ['findings', 'impressions']
""",
    "sr_validate": """
Args:
    source: a structured report: bytes or a path.

Returns:
    A list of findings, each {"severity": "error" or "warning", "item": the content item ("1.4.2";
    "" for the header), "message"}; empty when nothing was found. Nothing is raised for what the
    document gets wrong. Any SR: the root and value types, relationship types, what each value
    type requires, value types the storage class cannot hold, references by identifier that lead
    nowhere, referenced instances and presentation states missing from the evidence, UIDs that
    break PS3.5's syntax or are all zeros, SCOORD without the image it lies on, units outside
    UCUM (warning), codes of the retired SNOMED-RT scheme (warning, with their SCT code), a
    VERIFIED document without a verifying observer. TID 1500 (root DCM 126000): the language,
    the procedure reported, imaging measurements, each group's tracking identifier and UID,
    measurements CONTAINS in their group, and the value sets of observer type (CID 270),
    derivation (CID 7464) and laterality (CID 244). TID 2000 (template 2000, or a title of CID
    7000): headings of CID 7001 and statements of CID 7002 (warnings).

Raises:
    ValueError: not a DICOM data set, or no SR content.

Example:
    >>> [f["message"] for f in loam.sr_validate("sr.dcm") if f["severity"] == "error"]
    []
""",
    "render_overlay": f"""
Args:
    source: a path, or the file's bytes.
    frame: the frame, from 1.
    window: (center, width) to use instead of the file's VOI.
    voi: which of the file's VOI transforms: "auto" (a frame's own window, else the first VOI LUT,
        else the first window, else the frame's range), "window", "lut" or "minmax".
    overlays: burn in the overlay planes (groups 6000-601E), white.
    presentation_state: a Grayscale Softcopy Presentation State (path or bytes) that references
        the image: its modality, VOI and presentation LUT transforms, displayed area, rotation
        and flip, the overlays it activates and its graphic annotations (drawn in their layer's
        grey; text objects are not drawn, a visible anchor point is).

Returns:
    uint8 array (rows, columns), or (rows, columns, 3) for colour images.

Raises:
    {_OPEN}
    RuntimeError: not a decodable image, a frame out of range, or a VOI the file lacks.
    ValueError: a bad option, or a presentation state that does not reference the image.

Example:
    >>> png = loam.render_overlay("ct.dcm", window=(40, 400))
""",
    "write_pr": """
Args:
    referenced_paths: the images the state applies to (one study, MONOCHROME1 or 2).
    graphic_annotations: dicts of "layer", "images" (SOP Instance UIDs, or (UID, [frames]); all
        when absent), "graphics" (dicts of "type" POINT/POLYLINE/INTERPOLATED/CIRCLE/ELLIPSE,
        "points" [[column, row], ...], "units" PIXEL or DISPLAY, "filled") and "texts" (dicts of
        "text", "box" [[c, r], [c, r]], "anchor" [c, r], "anchor_visible", "units",
        "justification").
    graphic_layers: dicts of "name", "order", "description", "grey" (0-65535), "cielab"; layers an
        annotation names that are not listed are added in order.
    voi: a dict (or list of dicts) of "center", "width", "function" (LINEAR, LINEAR_EXACT,
        SIGMOID), "explanation" and "images", or "lut" entries with "lut_first" and "lut_bits".
    presentation_lut_shape: IDENTITY or INVERSE; empty: INVERSE for MONOCHROME1 images.
    displayed_area: "top_left" and "bottom_right" [column, row] (from 1, in the image),
        "size_mode" (SCALE TO FIT, TRUE SIZE, MAGNIFY), "pixel_spacing", "magnification",
        "images"; the whole image when absent.
    rotation: clockwise degrees, 0, 90, 180 or 270.
    flip: flip horizontally after the rotation.
    content_label: up to 16 upper-case letters, digits, spaces or underscores.
    content_description: up to 64 characters.
    content_creator_name: a person name.
    sop_instance_uid: the state's own UID; made from its content when empty.
    series_instance_uid: its series' UID; made from its content when empty.
    instance_number: its Instance Number.
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, series number and description.

Returns:
    The Part-10 bytes, or None when written to `output`.

Raises:
    ValueError: an option the object cannot hold, in words.
    RuntimeError: a referenced file that is not a DICOM image.

Example:
    >>> loam.write_pr(["ct1.dcm"], [{"layer": "ROI", "graphics": [
    ...     {"type": "CIRCLE", "points": [[64, 64], [74, 64]]}]}],
    ...     voi={"center": 40, "width": 400}, output="pr.dcm")
""",
    "write_paramap": """
Args:
    ref_paths: the source images (one study and frame of reference); their patient and study
        become the map's, and each frame references the source image at its position.
    array: (frames, rows, columns) or (rows, columns) of float32 (stored as Float Pixel Data),
        uint16 or int16.
    affine: the voxel (column, row, frame) to patient LPS affine, a 4 x 4 matrix or 16 numbers
        column-major as assemble_volume gives it; None: one frame per source image, in their
        order along their normal, on their grid.
    meta: dcmqi's parametric-map JSON (QuantityValueCode, MeasurementUnitsCode,
        AnatomicRegionSequence required; MeasurementMethodCode, ModelFittingMethodCode,
        DerivationCode, SourceImageDiffusionBValues, RealWorldValueSlope and Intercept,
        SeriesDescription, SeriesNumber, InstanceNumber, BodyPartExamined, FrameLaterality, ...).
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, serial number, series number and description.
    sop_instance_uid: the map's own UID; made from its content when empty.
    series_instance_uid: its series' UID; made from its content when empty.

Returns:
    The Part-10 bytes, or None when written to `output`.

Raises:
    ValueError: a description, array or geometry the object cannot hold, in words.
    RuntimeError: a source file that is not a DICOM image.

Example:
    >>> volume, info = loam.assemble_volume(dwi_paths)
    >>> loam.write_paramap(dwi_paths, adc, info["affine"], json.load(open("adc.json")), output="adc.dcm")
""",
    "paramap_meta": f"""
Args:
    source: a path, or the file's bytes.

Returns:
    The map's description in dcmqi's metadata JSON layout (the keys paramap2itkimage writes).

Raises:
    {_OPEN}
    RuntimeError: the file is not a Parametric Map.

Example:
    >>> loam.paramap_meta("adc.dcm")["QuantityValueCode"]["CodeMeaning"]
""",
    "write_legacy_converted": """
Args:
    paths: the files of one classic CT, MR or PET series (single-frame images of one study,
        frame of reference, size and pixel layout), in any order.
    transfer_syntax: re-encode the result into this syntax (as transcode does); empty keeps the
        files' own compressed syntax when they share one, else Explicit VR Little Endian.
    quality: the quality of a lossy re-encoding (as transcode's).
    output: a file to write; the bytes are returned when empty.
    identity: the converting equipment (manufacturer, model, software versions, serial number),
        recorded in the Contributing Equipment Sequence.
    sop_instance_uid: the instance's own UID; made from its sources when empty.
    series_instance_uid: its (new) series' UID; made from its sources when empty.

Returns:
    The Part-10 bytes of a Legacy Converted Enhanced CT, MR or PET image, or None when written to
    `output`. Frames follow the images' positions along their normal (their Instance Numbers
    when some have no position); position, orientation, pixel measures, window and rescale
    become functional groups (shared when every file agrees); every other attribute of the
    files is kept, shared or per frame, among the unassigned converted attributes.

Raises:
    ValueError: files that cannot be one instance, in words.
    RuntimeError: a re-encoding that failed.

Example:
    >>> loam.write_legacy_converted(loam.scan_dicom_dir("ct"), output="ct-enhanced.dcm")
""",
    "roi_mask": """
Args:
    rtstruct: the RT Structure Set file.
    reference: the image series the mask lies on (its slices in assemble_volume's order), or a
        grid {"shape": (slices, rows, columns), "affine": the voxel-to-LPS affine, 16 numbers
        column-major or a 4 x 4 matrix}.
    roi: the ROI's name, or its number.

Returns:
    (mask, notes): uint8 (slices, rows, columns), 1 where a pixel's centre lies inside the ROI,
    and the contours left out, in words. Each contour goes to the slice whose plane it lies in
    (within half the distance to the next slice), through the series' orientation, so oblique
    and feet-first series work; the contours of one slice combine even-odd, so a contour inside
    another is a hole; centres on an outline count in.

Raises:
    RuntimeError: no such ROI (the message lists those there are), or an unreadable file.
    ValueError: a reference without orientation, positions or spacing, or a bad grid.

Example:
    >>> mask, notes = loam.roi_mask("rs.dcm", loam.scan_dicom_dir("ct"), "GTV")
""",
    "plane_basis": """
Args:
    orientation: Image Orientation (Patient): the row direction, then the column direction.
    position: an Image Position (Patient), whose slice position to give.

Returns:
    {"row", "column", "normal"} unit vectors (normal = row x column) and, with a position,
    "slice_position": its projection on the normal, as roi_mask orders slices and matches contours.

Raises:
    ValueError: directions that are zero, not numbers or not perpendicular.

Example:
    >>> loam.plane_basis([1, 0, 0, 0, 1, 0], [0, 0, 12.5])["slice_position"]
""",
    "write_rtdose": """
Args:
    dose: float32 (frames, rows, columns) in Gy, finite and not negative.
    reference: images of the patient, study and frame of reference (the planning CT).
    affine: the voxel (column, row, frame) to patient LPS affine, a 4 x 4 matrix or 16 numbers
        column-major; None: the reference series' own grid (the dose must have its shape).
    dose_type: PHYSICAL, EFFECTIVE or ERROR.
    summation_type: PLAN (one plan), MULTI_PLAN (two or more), PLAN_OVERVIEW or RECORD.
    plans: the SOP Instance UIDs of the RT Plans the dose belongs to.
    structure_set: the SOP Instance UID of the RT Structure Set it goes with.
    comment: Dose Comment.
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, serial number, series number and description.
    sop_instance_uid: the dose's own UID; made from its content when empty.
    series_instance_uid: its series' UID; made from its content when empty.

Returns:
    The Part-10 bytes, or None when written to `output`: 16-bit values with the Dose Grid Scaling
    that holds the largest dose in 65535 steps, Grid Frame Offset Vector from the first frame,
    Dose Units GY.

Raises:
    ValueError: a dose, geometry or option the object cannot hold, in words.
    RuntimeError: a reference file that is not a DICOM image.

Example:
    >>> loam.write_rtdose(dose, ct_paths, plans=[plan_uid], output="rd.dcm")
""",
    "write_mkrtstruct": """
Args:
    reference_paths: the image series the masks lie on (slices in assemble_volume's order).
    masks: uint8, a label map (slices, rows, columns) whose values are the ROIs' labels, or one
        mask an ROI (rois, slices, rows, columns), non-zero inside.
    rois: dicts of "name" (required), "type" (RT ROI Interpreted Type: ORGAN, PTV, GTV, CTV,
        EXTERNAL, ...), "color" (red, green, blue), "algorithm" (AUTOMATIC, SEMIAUTOMATIC,
        MANUAL), "description" and "label" (its value in a label map; its position from 1 when
        absent).
    label: Structure Set Label.
    name: Structure Set Name.
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, serial number, series number and description.
    sop_instance_uid: the structure set's own UID; made from its content when empty.
    series_instance_uid: its series' UID; made from its content when empty.

Returns:
    The Part-10 bytes, or None when written to `output`. Each slice's outlines are closed planar
    contours through the midpoints between pixel centres (holes as contours of their own,
    diagonal neighbours kept apart), each referencing its image, so roi_mask gives the masks back.

Raises:
    ValueError: masks or descriptions the object cannot hold, in words.
    RuntimeError: a reference file that is not a DICOM image.

Example:
    >>> loam.write_mkrtstruct(ct_paths, labels, [{"name": "Liver", "type": "ORGAN"}], output="rs.dcm")
""",
    "read_rtplan": f"""
Args:
    path: an RT Plan or RT Ion Plan file.

Returns:
    dicompyler-core's GetPlan keys: "label", "date", "time", "name" (the SITE dose reference's
    description), "rxdose" (cGy: the largest SITE prescription, a VOLUME one over it, else the
    first fraction group's beam doses times its fractions), "brachy"; and "plan_name",
    "description", "geometry", "ion", "dose_references", "fraction_groups" (beams with dose in
    Gy and meterset in MU), "beams" (type, radiation, machine, meterset from the first fraction
    group, control points with energy, gantry, collimator and couch angles, isocenter and jaw and
    MLC positions, each carrying over what earlier points stated) and "brachy_setups".

Raises:
    {_OPEN}
    RuntimeError: the file is not an RT Plan.

Example:
    >>> loam.read_rtplan("rtplan.dcm")["rxdose"]
""",
    "write_ko": """
Args:
    document: references, title, retrieve, UIDs and patient and study attributes (see above).
    output: a file to write; the bytes are returned when empty.
    identity: manufacturer, model, software versions, series number and description.

Returns:
    The Part-10 bytes, or None when written to `output`.

Raises:
    ValueError: an unknown key, or a UID longer than 64 characters.
    RuntimeError: no reference has a SOP Instance UID.

Example:
    >>> ko = loam.write_ko({"references": [{"study_uid": s, "series_uid": se,
    ...                                     "sop_class_uid": c, "sop_instance_uid": i}]})
""",
    "read_ko": f"""
Args:
    source: a path, or the file's bytes.

Returns:
    The document as write_ko takes it: references, title, patient and study attributes.

Raises:
    {_OPEN}
    RuntimeError: the file is not a Key Object Selection.

Example:
    >>> loam.read_ko("ko.dcm")["title"]
""",
    "wsi_open_paths": f"""
Args:
    paths: the instance files of one slide (levels, label, overview), memory-mapped.

Returns:
    The slide; its open_error() says why when the instances do not make one pyramid.

Raises:
    {_OPEN}

Example:
    >>> slide = loam.wsi_open_paths(sorted(pathlib.Path("slide").glob("*.dcm")))
""",
    "wsi_write_pyramid": """
Args:
    image: uint8 RGB (rows, columns, 3).
    tile_width: tile size in pixels.
    tile_height: tile size in pixels.
    levels: how many levels; 0 halves until one tile holds a level.
    transfer_syntax: the encoding of the tiles.
    quality: for lossy encodings.
    sparse: write TILED_SPARSE with per-frame positions.
    skip_blank: with sparse, leave out uniform white or black tiles.
    icc_profile: the ICC profile to record.
    pixel_spacing_mm: level 0's pixel size.
    label: a label image (uint8 RGB), or None.
    overview: an overview image (uint8 RGB), or None.
    study_uid: minted when empty.
    series_uid: minted when empty.
    content_date: today when empty.
    identity: manufacturer, model, software versions, series number and description.

Returns:
    The instances' Part-10 bytes: the levels from full resolution down, then label and overview.

Raises:
    ValueError: an unusable image, tile size or transfer syntax.

Example:
    >>> files = loam.wsi_write_pyramid(rgb, 256, 256, levels=3)
""",
    "compute_dvh": f"""
Args:
    rtstruct: the RT Structure Set.
    rtdose: the RT Dose.
    roi: the ROI's name or number.
    samples_per_axis: sub-samples per voxel and axis.
    full_volume: count the ROI's volume outside the dose grid too.

Returns:
    The curve, with its statistics (statistic("D95"), "V20Gy", ...).

Raises:
    {_OPEN}
    RuntimeError: no such ROI, or no dose grid.

Example:
    >>> loam.compute_dvh("rs.dcm", "rd.dcm", "PTV").statistic("D95")
""",
    "describe_tag": """
Args:
    tag: a packed tag, (group << 16) | element.

Returns:
    keyword, name, VR, VM and retired; None for a tag the dictionary does not know.

Example:
    >>> loam.describe_tag(0x00100010)["keyword"]
    'PatientName'
""",
    "tag_for_keyword": """
Args:
    keyword: a standard keyword (case-sensitive).

Returns:
    The packed tag, or None.

Example:
    >>> hex(loam.tag_for_keyword("PatientName"))
    '0x100010'
""",
    "uid_lookup": """
Args:
    uid: a UID.

Returns:
    name, type, keyword, info, retired and cid; None for a UID the dictionary does not know.

Example:
    >>> loam.uid_lookup("1.2.840.10008.1.2")["name"]
    'Implicit VR Little Endian'
""",
    "mint_uid": """
Args:
    seed: any text; the same seed gives the same UID.
    root: the UID root; "2.25" when empty.

Returns:
    A UID of at most 64 characters.

Example:
    >>> loam.mint_uid("study-42")[:5]
    '2.25.'
""",
}


def _bytes_variant(name: str, path_name: str, returns: str) -> str:
    return f"""
Args:
    part10: a Part-10 file or bare data set, read in place.

Returns:
    {returns}

Example:
    >>> loam.{name}(open("ct.dcm", "rb").read())
"""


def _resample(name: str, convention: str, more: str = "") -> str:
    return f"""
Args:
    arr: the volume (depth, rows, columns), any real dtype.
    affine: 12 or 16 numbers mapping output voxel (x, y, z, 1) to input voxel coordinates.
    out_shape: the output (depth, rows, columns).{more}

Returns:
    (resampled float32 volume, meta); {convention}

Raises:
    ValueError: an affine or shape of the wrong length, or a volume beyond the memory limit.

Example:
    >>> out, meta = loam.{name}(volume, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0], [32, 64, 64])
"""


def _response(name: str, lesions: str, sums: str, more: str = "") -> str:
    return f"""
Args:
    baseline: the baseline lesions, dicts of {lesions}.
    current: the same lesions now.
    {sums}: the smallest sum so far (0: the baseline's).
    new_lesion: a new lesion was found.{more}

Returns:
    response ("CR", "PR", "SD", "PD", ...) with the sums and the changes that decided it.

Raises:
    ValueError: a lesion dict with an unknown key or a value of the wrong type.

Example:
    >>> loam.{name}(baseline, current)["response"]
"""


# The output and identity arguments every Segmentation writer shares, and what they give.
_SEG_OUTPUT = """    output: a file to write; the bytes are returned when empty.
    sop_instance_uid: the Segmentation's UID; derived from the content when empty.
    series_instance_uid: its series UID; derived from the content when empty.
    dimension_organization_uid: derived from the content when empty.
    content_date: YYYYMMDD; today when empty.
    content_time: HHMMSS; now when empty.
    identity: as write_seg takes it.

Returns:
    The Part-10 bytes, or None when written to `output`.

Raises:
    ValueError: a shape that does not match, or no nonzero frame.
"""

SECTIONS.update({
    "has_pixel_data_bytes": _bytes_variant("has_pixel_data_bytes", "", "As has_pixel_data."),
    "read_pixel_data_bytes": _bytes_variant("read_pixel_data_bytes", "", "As read_pixel_data."),
    "pixel_data_vr_bytes": _bytes_variant("pixel_data_vr_bytes", "", "As pixel_data_vr."),
    "pixel_data_vr": f"""
Args:
    path: the file.

Returns:
    The Pixel Data element's VR ("OB", "OW", "OF", "OD"), or None when there is none.

Raises:
    {_OPEN}

Example:
    >>> loam.pixel_data_vr("ct.dcm")
    'OW'
""",
    "decode_stored_bytes": """
Args:
    data: a Part-10 file or bare data set.
    frame: 0 for every frame, n for the n-th (from 1).
    lenient: accept pixel data shorter than the image needs.
    threads: worker threads for the frames of a multi-frame object (None: one per processor,
        1: the calling thread only); the result is the same whatever the count.

Returns:
    (array, meta), as decode_stored gives them.

Raises:
    RuntimeError: the pixel data cannot be decoded, or the frame is out of range.

Example:
    >>> stored, meta = loam.decode_stored_bytes(open("ct.dcm", "rb").read())
""",
    "read_meta_json": f"""
Args:
    path: the file.

Returns:
    The file meta group as DICOM JSON text; "" for a bare data set.

Raises:
    {_OPEN}

Example:
    >>> json.loads(loam.read_meta_json("ct.dcm"))["00020010"]["Value"]
    ['1.2.840.10008.1.2.1']
""",
    "encode_ivr": """
Args:
    json: DICOM JSON Model text of one data set.

Returns:
    The data set in Implicit VR Little Endian, without file meta (as a C-FIND identifier).

Raises:
    RuntimeError: the JSON is not a data set that can be written.

Example:
    >>> query = loam.encode_ivr('{"00100020": {"vr": "LO", "Value": ["ID7"]}}')
""",
    "encapsulate_pixel_value": """
Args:
    fragments: the compressed fragments, in order.
    frame_starts: the index of each frame's first fragment.

Returns:
    The encapsulated Pixel Data value: the Basic Offset Table item, then one item a fragment.

Example:
    >>> value = loam.encapsulate_pixel_value([frame0, frame1], [0, 1])
""",
    "describe_private": """
Args:
    creator: the private creator, as in (gggg,00xx).
    group: the (odd) group.
    elem_low: the element's low byte.

Returns:
    keyword, name, VR, VM and retired; None when the private dictionary does not know it.

Example:
    >>> loam.describe_private("SIEMENS CSA HEADER", 0x0029, 0x10)["vr"]
    'OB'
""",
    "uid_for_keyword": """
Args:
    keyword: a UID keyword ("CTImageStorage").

Returns:
    The UID, or "" when the keyword is unknown.

Example:
    >>> loam.uid_for_keyword("CTImageStorage")
    '1.2.840.10008.5.1.4.1.1.2'
""",
    "uid_table": """
Returns:
    Every UID of the dictionary: (uid, name, type, keyword, info, retired, cid).

Example:
    >>> len(loam.uid_table()) > 400
    True
""",
    "clean_pixel_data": """
Args:
    data: a Part-10 file.
    regions: rectangles to black out, (x0, y0, x1, y1) in pixels, besides the known ones.
    use_ctp: also apply the known devices' regions (the CTP pixel anonymizer's script).
    require_match: fail when no known device matches.

Returns:
    The file with the regions blacked out (its pixel data uncompressed).

Raises:
    RuntimeError: the pixel data cannot be decoded, or require_match and no device matched.

Example:
    >>> clean = loam.clean_pixel_data(data, [(0, 0, 200, 40)])
""",
    "apply_palette_indices": """
Args:
    dataset: the file whose Palette Color LUTs apply.
    indices: the palette indices.
    bits_allocated: the indices' bits allocated.
    is_signed: the indices are signed.

Returns:
    The colours: the shape of `indices` plus (3,), uint8 or uint16.

Raises:
    RuntimeError: the file has no usable palette.

Example:
    >>> rgb = loam.apply_palette_indices(data, indices, 8)
""",
    "build_dicomdir": """
Args:
    inputs: (file bytes, file ID) each; file IDs are paths of up to 8 components of up to 8
        upper-case letters, digits or underscores, separated by "/".
    file_set_id: up to 16 characters.
    report: also return a summary: counts of "patients", "studies", "series", "instances" and
        "skipped" inputs, and "invented", one dict ("file_id", "record", "keyword", "value") for
        each required (Type 1) key an input lacked and that was invented from it: a date or time
        from the instance's other dates, a modality from its SOP class, an identifier or UID
        derived from its SOP Instance UID, a number from the record's place. The same inputs
        always give the same values.

Returns:
    The DICOMDIR's bytes, or (bytes, summary) with report=True.

Raises:
    RuntimeError: a file ID media cannot hold, or no file with the identifiers a record needs.

Example:
    >>> dicomdir = loam.build_dicomdir([(data, "PAT1/IM1")], "MYSET")
""",
    "assemble_4d": """
Args:
    paths: the files of one series of several volumes (time, echoes, b-values, ...).

Returns:
    (float32 (volumes, slices, rows, columns), meta), meta as assemble_volume gives it with the
    volumes' axis.

Raises:
    RuntimeError: no frame decodes, or the volumes differ in their slices.

Example:
    >>> stack, meta = loam.assemble_4d(paths)
""",
    "assemble_dwi": """
Args:
    paths: the files of a diffusion series.
    order: "gradient" (by b-value, then direction) or "acquisition".

Returns:
    (float32 (volumes, slices, rows, columns), meta) with meta["bvals"] and meta["bvecs"].

Raises:
    ValueError: an order that is neither.
    RuntimeError: no diffusion frames.

Example:
    >>> dwi, meta = loam.assemble_dwi(paths)
""",
    "bids_sidecar": """
Args:
    paths: the files of one series.

Returns:
    The BIDS sidecar fields, as dcm2niix writes them.

Raises:
    ValueError: no files.

Example:
    >>> loam.bids_sidecar(paths)["RepetitionTime"]
""",
    "write_nrrd_volume": """
Args:
    array: the volume, as write_nifti_volume takes it.
    affine: the voxel-to-LPS affine, 16 numbers, column-major.
    path: the file.
    gzip: compress the data.

Raises:
    RuntimeError: the file cannot be written.

Example:
    >>> loam.write_nrrd_volume(volume, meta["affine"], "ct.nrrd", gzip=True)
""",
    "write_metaimage_volume": """
Args:
    array: the volume, as write_nifti_volume takes it.
    affine: the voxel-to-LPS affine, 16 numbers, column-major.
    path: the file (.mha).
    compress: compress the data.

Raises:
    RuntimeError: the file cannot be written.

Example:
    >>> loam.write_metaimage_volume(volume, meta["affine"], "ct.mha")
""",
    "read_diffusion": f"""
Args:
    path: the file.

Returns:
    Per frame: its b-value, gradient and where they came from (the vendor's header); None when
    the file states none.

Raises:
    {_OPEN}

Example:
    >>> loam.read_diffusion("dwi.dcm")
""",
    "siemens_diffusion": f"""
Args:
    source: a path, or the file's bytes.

Returns:
    The Siemens CSA header's b-value, gradient, b-matrix, slice times and phase-encoding
    polarity; None when the file has no CSA header.

Raises:
    {_OPEN}

Example:
    >>> loam.siemens_diffusion("epi.dcm")
""",
    "mosaic_expand": f"""
Args:
    source: a path, or the file's bytes.

Returns:
    (tiles float32 (tiles, rows, columns), meta with each tile's position).

Raises:
    {_OPEN}
    RuntimeError: the image is not a mosaic.

Example:
    >>> tiles, meta = loam.mosaic_expand("epi.dcm")
""",
    "dwi_b0_threshold": """
Args:
    bvals: the volumes' b-values.
    bvecs: their gradient directions, or None.
    threshold: b-values at or below it are b0.
    isotropic: which volumes are derived (trace) images, or None.

Returns:
    Which volumes are b0, weighted and derived, by dcm2niix's rules.

Example:
    >>> loam.dwi_b0_threshold([0, 1000, 1000])
""",
    "transform_resample": _resample("transform_resample", "in the backend's convention.",
                                    "\n    backend: 'torch' (grid_sample), 'skimage' (order 3) or 'itk'."),
    "transform_resample_cubic": _resample("transform_resample_cubic", "scikit-image's order-3 convention."),
    "transform_resample_grid_sample": _resample("transform_resample_grid_sample", "PyTorch's grid_sample (trilinear)."),
    "transform_flip": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    axes: the spatial axes to flip (0 z, 1 y, 2 x).

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as numpy.flip and MONAI's Flip.

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_flip(volume, affine, [2])
""",
    "transform_transpose": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    order: output axis d is input axis order[d].

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as numpy.transpose of the spatial axes.

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_transpose(volume, affine, [2, 1, 0])
""",
    "transform_rotate90": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    k: quarter turns, from the first of `axes` towards the second.
    axes: two spatial axes.

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as numpy.rot90 and MONAI's Rotate90.

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_rotate90(volume, affine, 1, [1, 2])
""",
    "transform_crop": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    start: the box's first index on each axis (z, y, x).
    end: one past its last; both clipped to the array.

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as MONAI's SpatialCrop(roi_start, roi_end).

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_crop(volume, affine, start=[0, 10, 10], end=[40, 100, 100])
""",
    "transform_pad": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    pad_width: (before, after) for each spatial axis.
    mode: 'constant', 'edge', 'reflect', 'symmetric' or 'wrap', as numpy defines them.
    value: the constant mode's value.

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as numpy.pad.

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_pad(volume, affine, pad_width=[(0, 0), (8, 8), (8, 8)])
""",
    "transform_center_crop": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    roi_size: the box's size on each axis (below 1 keeps the axis).

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as MONAI's CenterSpatialCrop (the box starts at n // 2 - roi // 2).

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_center_crop(volume, affine, roi_size=[64, 128, 128])
""",
    "transform_spatial_pad": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    spatial_size: the least size of each axis (below it the axis is padded; never cropped).
    method: 'symmetric' (the smaller half before) or 'end'.
    mode: a numpy pad mode.
    value: the constant mode's value.

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as MONAI's SpatialPad.

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_spatial_pad(volume, affine, spatial_size=[96, 96, 96])
""",
    "transform_divisible_pad": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    k: each axis is padded up to a multiple of k (one value or three; below 1 leaves the axis).
    method: 'symmetric' or 'end'.
    mode: a numpy pad mode.
    value: the constant mode's value.

Returns:
    (the rearranged array, of the input's dtype, {"affine": the affine that keeps every voxel at its
    patient position}); as MONAI's DivisiblePad.

Raises:
    ValueError: an array that is not 3-D or 4-D, an affine not of 16 numbers, or a bad argument.

Example:
    >>> out, meta = loam.transform_divisible_pad(volume, affine, k=[16])
""",
    "transform_normalize_zscore": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype (read as float32).
    nonzero: normalise the nonzero voxels only (zeros stay).
    channel_wise: each channel of [c, z, y, x] on its own.
    subtrahend: used instead of the mean.
    divisor: used instead of the std.

Returns:
    (float32 array, {}): (x - mean) / std with the population std, 1 where it is 0, as MONAI's
    NormalizeIntensity.

Raises:
    ValueError: a bad array, dtype or argument.

Example:
    >>> out, _ = loam.transform_normalize_zscore(volume, nonzero=True)
""",
    "transform_scale_intensity_range": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype (read as float32).
    a_min: the input range's low end.
    a_max: its high end.
    b_min: the output range's low end (with b_max; without both: [0, 1]).
    b_max: its high end.
    clip: clip the result to [b_min, b_max].

Returns:
    (float32 array, {}) as MONAI's ScaleIntensityRange (a_min == a_max gives x - a_min, + b_min).

Raises:
    ValueError: a bad array, dtype or argument.

Example:
    >>> out, _ = loam.transform_scale_intensity_range(ct, -1000, 400, 0.0, 1.0, clip=True)
""",
    "transform_scale_intensity_range_percentiles": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype (read as float32).
    lower: the percentile (0..100, numpy's linear interpolation) taken as the input's low end.
    upper: the one taken as its high end.
    b_min: the output range's low end.
    b_max: its high end.
    clip: clip to it.
    relative: map onto the same fractions of [b_min, b_max] instead.
    channel_wise: percentiles of each channel on its own.

Returns:
    (float32 array, {}) as MONAI's ScaleIntensityRangePercentiles.

Raises:
    ValueError: a bad array, dtype or argument.

Example:
    >>> out, _ = loam.transform_scale_intensity_range_percentiles(mr, 0.5, 99.5, 0.0, 1.0, clip=True)
""",
    "transform_adjust_contrast": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype (read as float32).
    gamma: the exponent (positive).

Returns:
    (float32 array, {}): ((x - min) / (range + 1e-7)) ** gamma * range + min, as MONAI's AdjustContrast.

Raises:
    ValueError: a bad array, dtype or argument.

Example:
    >>> out, _ = loam.transform_adjust_contrast(volume, 1.5)
""",
    "transform_as_discrete": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype (read as float32).
    threshold: values at or above it become 1.

Returns:
    (float32 array of 0 and 1, {}) as MONAI's AsDiscrete(threshold=t).

Raises:
    ValueError: a bad array, dtype or argument.

Example:
    >>> mask, _ = loam.transform_as_discrete(probabilities, 0.5)
""",
    "transform_argmax": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype (read as float32).

Returns:
    (float32 array [1, z, y, x] of channel indices, {}): the first largest channel, as MONAI's
    AsDiscrete(argmax=True).

Raises:
    ValueError: an array that is not [c, z, y, x], or a bad dtype.

Example:
    >>> labels, _ = loam.transform_argmax(logits)
""",
    "transform_crop_foreground": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] of a bool, integer or float dtype.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    threshold: foreground is above it, in any channel (MONAI's select_fn x > 0).
    margin: voxels added on each side (one value or three).
    allow_smaller: clip the box to the array (otherwise the outside is zero-padded).
    k_divisible: grow each side of the box about its centre to a multiple of k (one value or three).

Returns:
    (the cropped array, of the input's dtype, {"affine": the box's affine}), as MONAI's
    CropForeground; an array without foreground gives an empty one.

Raises:
    ValueError: a bad array, dtype, or a negative margin.

Example:
    >>> body, meta = loam.transform_crop_foreground(ct, affine, threshold=-500, margin=[5])
""",
    "transform_sliding_window_positions": """
Args:
    image_size: the volume's (z, y, x) size.
    roi_size: the window's (z, y, x) size.
    overlap: the fraction of a window shared with the next (0 <= overlap < 1).

Returns:
    An int64 array of window starts, one (z, y, x) row each, in the order MONAI's
    sliding_window_inference visits them (on the volume padded up to the window when smaller).

Raises:
    ValueError: sizes that are not three positive numbers, or an overlap outside [0, 1).

Example:
    >>> starts = loam.transform_sliding_window_positions([300, 512, 512], [96, 96, 96], 0.5)
""",
    "transform_gaussian_importance_map": """
Args:
    patch_size: the window's (z, y, x) size.
    sigma_scale: sigma of each axis as a fraction of its size (MONAI's 0.125).

Returns:
    A float32 array of patch_size: MONAI's gaussian blending weights, not normalised, at least 1e-3.

Raises:
    ValueError: a size that is not three positive numbers, or a non-positive sigma_scale.

Example:
    >>> weights = loam.transform_gaussian_importance_map([96, 96, 96])
""",
    "transform_gaussian_smooth": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (each channel on its own), read as float32.
    sigma: the gaussian's sigma in voxels: one value, or three (z, y, x); 0 leaves an axis alone.

Returns:
    (float32 array, {}) as MONAI's GaussianSmooth (approx "erf", truncated at 4 sigma, not
    normalised, zero padding).

Raises:
    ValueError: a bad array, dtype, or a negative sigma.

Example:
    >>> smooth, _ = loam.transform_gaussian_smooth(volume, [1.0])
""",
    "transform_reorient": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (channels kept) of a bool, integer or float dtype.
    affine: its voxel-to-patient (LPS) affine, 16 numbers column-major.
    axcodes: where the voxel axes x, y, z should increase, in nibabel's letters ("RAS": x towards
        the patient's right, y anterior, z superior).

Returns:
    (the reoriented array, {"affine": its LPS affine}), as MONAI's Orientation(axcodes) on the
    same image loaded by nibabel: nibabel.aff2axcodes of the new affine (made RAS) gives axcodes.

Raises:
    ValueError: axcodes that are not one of R/L, A/P, S/I each, or a bad array or affine.

Example:
    >>> ras, meta = loam.transform_reorient(volume, affine, "RAS")
""",
    "transform_normalize_ct": """
Args:
    arr: a CT volume [z, y, x] or [c, z, y, x], read as float32.
    mean: the dataset's foreground mean (nnU-Net's dataset fingerprint).
    std: its standard deviation.
    lower: the foreground's 0.5 percentile: values below are raised to it.
    upper: the 99.5 percentile: values above are lowered to it.

Returns:
    (float32 array, {}): clip(x, lower, upper), minus mean, over max(std, 1e-8), as nnU-Net v2's
    CTNormalization computes it.

Raises:
    ValueError: lower above upper, or a bad array or dtype.

Example:
    >>> out, _ = loam.transform_normalize_ct(ct, mean=82.5, std=136.2, lower=-958.0, upper=327.0)
""",
    "transform_rescale_robust": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x], read as float32.
    out_min: the output range's low end.
    out_max: its high end.
    percentiles: (lower, upper) percentiles of the values inside the mask that clip the image
        (TorchIO's default (0, 100); (0.5, 99.5) for a robust range).
    mask: a [z, y, x] array, nonzero inside; every voxel without one.

Returns:
    (float32 array, {}) as TorchIO's RescaleIntensity: clipped to the percentiles, its minimum and
    maximum mapped onto [out_min, out_max]; an empty mask or a flat image is left as it is.

Raises:
    ValueError: percentiles out of order or range, a mask of another shape, or a bad dtype.

Example:
    >>> out, _ = loam.transform_rescale_robust(mr, 0.0, 1.0, [0.5, 99.5], mask=brain)
""",
    "transform_bilinear_resize2d": """
Args:
    arr: an image [h, w] or a stack [c, h, w] (each plane on its own), read as float32.
    size: the output (h, w).

Returns:
    (float32 array, {}) as torch.nn.functional.interpolate(mode="bilinear", align_corners=False,
    antialias=False): half-pixel centres, edge samples repeated, no antialiasing.

Raises:
    ValueError: an array that is not 2-D or 3-D, a size that is not two positive numbers, or a bad dtype.

Example:
    >>> small, _ = loam.transform_bilinear_resize2d(image, [224, 224])
""",
    "transform_pil_resize2d": """
Args:
    arr: an image [h, w] or a stack [c, h, w] (each plane on its own), read as float32.
    size: the output (h, w) (PIL's own argument is (w, h)).
    resample: "bilinear" or "bicubic", PIL's Image.BILINEAR and Image.BICUBIC.

Returns:
    (float32 array, {}) as PIL's Image.resize of a float ("F") image: antialiased when shrinking.

Raises:
    ValueError: a bad array, size, dtype or resample name.

Example:
    >>> thumb, _ = loam.transform_pil_resize2d(image, [256, 256], "bicubic")
""",
    "transform_resize": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (each channel on its own), read as float32.
    affine: its voxel-to-patient affine, 16 numbers column-major (the identity when None).
    spatial_size: the output (z, y, x) (below 1 keeps an axis); with size_mode "longest", one
        value for the longest axis.
    size_mode: "all" or "longest" (the others scaled in proportion, Python's rounding).
    mode: "area" (MONAI's default: torch's adaptive average) or "trilinear".

Returns:
    (float32 array, {"affine": with MONAI's half-pixel scaling}), as MONAI's Resize.

Raises:
    ValueError: a bad array, affine, size, size_mode or mode.

Example:
    >>> small, meta = loam.transform_resize(volume, affine, spatial_size=[128], size_mode="longest")
""",
    "transform_resample_to_spacing": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (each channel on its own), read as float32.
    affine: its voxel-to-patient affine, 16 numbers column-major.
    spacing: the new voxel size in mm: one value, or three (z, y, x).
    mode: "bilinear" (trilinear) or "nearest" (for labels).

Returns:
    (float32 array, {"affine": the same directions and first voxel, the new spacing}), as MONAI's
    Spacing(pixdim) with border padding: each axis gets round((n - 1) * old / new + 1) voxels
    (nnU-Net's resampling takes round(n * old / new) instead, so the two differ by a voxel at times).

Raises:
    ValueError: a bad array, affine, spacing or mode.

Example:
    >>> iso, meta = loam.transform_resample_to_spacing(ct, affine, [1.5])
""",
    "transform_affine": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (each channel on its own), read as float32.
    affine: its voxel-to-patient affine, 16 numbers column-major (identity when None).
    rotate: up to three angles in radians, about array axes 0, 1 and 2 in turn (intrinsic, MONAI's
        rotate_order "XYZ"): the first turns axis 1 towards axis 2.
    shear: up to six coefficients (axis pairs 01, 02, 10, 12, 20, 21), composed one elementary shear
        at a time in that order, as MONAI 1.6 does (a volume-preserving shear).
    translate: voxels along axes 0, 1, 2.
    scale: factors along axes 0, 1, 2 (above 1 samples a wider field: the content shrinks).
    matrix: a 4x4 array-axis matrix, 16 numbers row by row, instead of the four parameters (MONAI's
        affine=).
    spatial_size: the output's [z, y, x] (a size below 1 keeps the axis); the input's by default.
    mode: "bilinear" (trilinear) or "nearest" (halves to even, as torch).
    padding_mode: "reflection" (MONAI's default: mirrored about the outer faces), "border" or "zeros".

Returns:
    (float32 array, {"affine": the voxel-to-patient affine of the result, so every voxel keeps its
    patient position, "matrix": the map from output to input array indices, row by row}), as MONAI's
    Affine with R . Sh . T . S about the volume's centre: output index o samples the input at
    M (o - c_out) + c_in, c = (n - 1) / 2, through torch's grid_sample (align_corners False). MONAI
    computes that in float32 by default; ours is double, so values agree within 1e-5 of the value
    range, and nearest samples exactly halfway between voxels may round the other way.

Raises:
    ValueError: a bad array, affine, parameter, matrix, size, mode or padding mode.

Example:
    >>> turned, meta = loam.transform_affine(ct, affine, rotate=[0.2], scale=[1.0, 1.1, 1.1])
""",
    "transform_resample_to_reference": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (each channel on its own), read as float32.
    affine: its voxel-to-patient affine, 16 numbers column-major.
    reference_shape: the reference grid's [z, y, x].
    reference_affine: the reference grid's affine, 16 numbers column-major.
    mode: "bilinear" (trilinear) or "nearest" (for labels).
    padding_mode: "border" (MONAI's default), "zeros" or "reflection".

Returns:
    (float32 array of reference_shape, {"affine": reference_affine}), as MONAI's ResampleToMatch:
    each reference voxel centre is sampled where it lies in the volume, inverse(affine) . reference,
    through torch's grid_sample (align_corners False), in double. MONAI skips the resampling when
    the two grids agree within 1e-3; this always resamples, which gives the same values on equal
    grids and honest ones on nearly equal grids.

Raises:
    ValueError: a bad array, affine, reference, mode or padding mode, or an affine that cannot be
    inverted.

Example:
    >>> pet_on_ct, _ = loam.transform_resample_to_reference(pet, pet_affine, ct.shape, ct_affine)
""",
    "transform_resample_separate_z": """
Args:
    arr: a volume [z, y, x] or [c, z, y, x] (each channel on its own): any numeric dtype for
        images, an integer or bool dtype for label maps.
    affine: its voxel-to-patient affine, 16 numbers column-major; the spacing is read from it.
    spacing: the new voxel size in mm: one value, or three (z, y, x).
    is_seg: a label map: each label's indicator is resized on its own.
    order: the spline order in the plane (or over the volume): 0, 1 or 3 for images (3 by default),
        0 or 1 for label maps (1 by default), as nnU-Net's defaults.
    order_z: the order along the coarse axis when it is resampled on its own: 0 (nnU-Net's default)
        or, for images, 1.
    force_separate_z: True separates along the coarsest current axis, False never; None (nnU-Net's
        preprocessing default) decides by anisotropy_threshold.
    anisotropy_threshold: separate when the largest spacing exceeds this many times the smallest,
        judged on the current spacing, then on the new one.

Returns:
    (array, {"affine": the half-pixel geometry of the result, "separate_axis": the array axis
    resampled on its own, or None}), as nnU-Net v2's resample_data_or_seg_to_spacing: each axis gets
    round(n * old / new) voxels (MONAI's Spacing keeps the end voxels and takes round((n - 1) *
    old / new + 1)); images as skimage's resize (edge mode, no antialiasing, clipped to the input's
    range), float32; label maps keep their dtype, and each voxel takes the label whose linearly
    resized indicator is largest, a tie going to the nearest input voxel's label (batchgenerators
    0.25.5; older releases kept the last label at or above 0.5, which left voxels where three labels
    meet unlabelled). Two or three equally coarse axes mean no separation.

Raises:
    ValueError: a bad array, dtype, affine, spacing, order or threshold.

Example:
    >>> resampled, meta = loam.transform_resample_separate_z(mr, affine, [3.0, 0.8, 0.8])
""",
    "transform_connected_components": """
Args:
    arr: a label map [z, y, x] (or [c, z, y, x], labelled channel by channel) of an integer or bool dtype.
    connectivity: orthogonal hops that join neighbours: 1 faces, 2 edges, 3 corners (full, the default).

Returns:
    (int32 labels numbered from 1 in C order of first voxels, {"count": components}), as
    scikit-image's measure.label(background=0): voxels join when they share a nonzero value.

Raises:
    ValueError: an array that is not 3-D or 4-D, a float dtype, or a connectivity outside 1..3.

Example:
    >>> labels, meta = loam.transform_connected_components(mask)
""",
    "transform_keep_largest_cc": """
Args:
    arr: a label map [z, y, x] (or [c, z, y, x], channel by channel) of an integer or bool dtype.
    applied_labels: the labels to clean (default: every nonzero label).
    independent: each label on its own (MONAI's default); False treats the applied labels as one
        foreground.
    connectivity: 1, 2 or 3 hops (3, full: MONAI's connectivity=None).
    num_components: how many of the largest components stay.

Returns:
    (the cleaned array, of the input's dtype, {}), as MONAI's KeepLargestConnectedComponent; among
    components of equal size the one met later in C order ranks first, as in MONAI.

Raises:
    ValueError: a bad array, dtype, connectivity or num_components.

Example:
    >>> kept, _ = loam.transform_keep_largest_cc(segmentation, num_components=1)
""",
    "transform_fill_holes": """
Args:
    arr: a label map [z, y, x] (or [c, z, y, x], channel by channel) of an integer or bool dtype.
    applied_labels: the labels whose holes are filled, in ascending order (default: every nonzero one).
    connectivity: the hops by which the outside reaches in (3, full: MONAI's connectivity=None).

Returns:
    (the filled array, of the input's dtype, {}), as MONAI's FillHoles: voxels that cannot reach the
    border through voxels of other values take the label.

Raises:
    ValueError: a bad array, dtype or connectivity.

Example:
    >>> filled, _ = loam.transform_fill_holes(segmentation)
""",
    "transform_remove_small_objects": """
Args:
    arr: a binary mask or label map [z, y, x] (or [c, z, y, x], channel by channel), integer or bool.
    min_size: objects of fewer voxels are removed (64, MONAI's default).
    connectivity: the hops that join a binary mask's voxels (1, 6-connected: MONAI's default).

Returns:
    (the array without small objects, of the input's dtype, {}), as MONAI's RemoveSmallObjects: a
    binary mask's objects are its components; a label map's are its labels, each whole
    (scikit-image's rule for integer input). Objects of exactly min_size voxels stay, as MONAI
    documents; through scikit-image 0.26, whose min_size became "at most", MONAI removes them.

Raises:
    ValueError: a bad array, dtype, connectivity or a negative min_size.

Example:
    >>> cleaned, _ = loam.transform_remove_small_objects(mask, min_size=64)
""",
    "transform_resample_nearest": _resample("transform_resample_nearest", "nearest neighbour, for labels."),
    "recist_evaluate": _response("recist_evaluate", "longest_mm, short_axis_mm, status, is_lymph_node", "nadir_sld",
                                 "\n    nt_progression: the non-target lesions progressed unequivocally."),
    "irecist_evaluate": _response("irecist_evaluate", "longest_mm, short_axis_mm, status, is_lymph_node", "nadir_sld",
                                  "\n    nt_progression: the non-target lesions progressed unequivocally."
                                  "\n    prev_response: the previous assessment's response (\"NE\" for none)."
                                  "\n    prev_was_iupd: the previous assessment was iUPD (unconfirmed progression)."),
    "mrecist_evaluate": _response("mrecist_evaluate", "viable_mm, status", "nadir_sum"),
    "cheson_evaluate": _response("cheson_evaluate", "longest_mm, perpendicular_mm, is_lymph_node, status", "nadir_spd"),
    "rano_evaluate": _response("rano_evaluate", "longest_mm, perpendicular_mm, status", "nadir_spd",
                               "\n    non_enhancing: the non-enhancing component: stable, improved, increased or unknown."
                               "\n    on_steroids: the patient is on corticosteroids."),
    "pcwg3_evaluate": """
Args:
    new_lesions_scan1: new bone lesions on the first scan after baseline.
    new_lesions_scan2: on the confirming scan (-1: not yet done).
    prev_was_pending: the previous assessment awaited confirmation.
    psa_current: the PSA now (ng/mL).
    psa_nadir: the lowest PSA so far.
    psa_given: the PSA values are given.

Returns:
    The bone-scan and PSA progression calls, as PCWG3 defines them.

Example:
    >>> loam.pcwg3_evaluate(new_lesions_scan1=2, new_lesions_scan2=2)
""",
    "recist_feret": """
Args:
    mask: a 2-D lesion mask (nonzero inside).
    spacing_x: the column spacing (mm).
    spacing_y: the row spacing (mm).

Returns:
    longest_mm, short_axis_mm and their endpoints; None for an empty mask.

Raises:
    RuntimeError: a mask that is not 2-D, or a spacing that is not positive.

Example:
    >>> loam.recist_feret(mask, 0.7, 0.7)
""",
    "recist_volume": """
Args:
    slice_pixel_counts: the lesion's pixels on each slice.
    pixel_area_mm2: one pixel's area.
    slice_spacing_mm: the distance between slices.

Returns:
    The volume in mm3.

Example:
    >>> loam.recist_volume([10, 20, 10], 0.5, 2.0)
    40.0
""",
    "recist_match_lesion": """
Args:
    query: a lesion's position (x, y, z mm).
    candidates: positions (n, 3) on another study.
    max_distance_mm: the farthest a match may be.

Returns:
    (index of the nearest candidate or -1, its distance).

Example:
    >>> loam.recist_match_lesion([0, 0, 0], [[1, 0, 0], [9, 9, 9]], 5.0)
""",
    "recist_nearest_slice": """
Args:
    world: a point (x, y, z mm).
    slice_origins: the slices' origins (n, 3).
    normal: the slices' normal.

Returns:
    (index of the nearest slice, its distance along the normal).

Example:
    >>> loam.recist_nearest_slice([0, 0, 5], [[0, 0, 0], [0, 0, 4]], [0, 0, 1])
""",
    "recist_pixel_to_world": """
Args:
    origin: Image Position (Patient).
    orientation: Image Orientation (Patient), 6 numbers.
    spacing: Pixel Spacing (row, column).
    px: the column.
    py: the row.

Returns:
    (x, y, z) in patient LPS mm.

Example:
    >>> loam.recist_pixel_to_world([0, 0, 0], [1, 0, 0, 0, 1, 0], [0.5, 0.5], 10, 4)
""",
    "read_rtstruct": f"""
Args:
    path: an RT Structure Set.

Returns:
    Its ROIs: number, name and contours (points in patient mm).

Raises:
    {_OPEN}
    RuntimeError: not a structure set.

Example:
    >>> [roi.name for roi in loam.read_rtstruct("rs.dcm")]
""",
    "read_rtdose": f"""
Args:
    path: an RT Dose.

Returns:
    The dose grid (Gy) and its geometry.

Raises:
    {_OPEN}
    RuntimeError: not a dose grid.

Example:
    >>> grid = loam.read_rtdose("rd.dcm")
""",
    "dose_at": f"""
Args:
    rtdose: an RT Dose.
    points: (n, 3) positions in patient mm.

Returns:
    The dose (Gy) at each point, trilinear; NaN outside the grid.

Raises:
    {_OPEN}

Example:
    >>> loam.dose_at("rd.dcm", [[0.0, 0.0, 0.0]])
""",
    "write_seg_fractional": f"""
Args:
    reference_paths: the single-frame images of the reference series.
    maps: uint8 (segments, rows, columns) or (segments, slices, rows, columns).
    segments: one dict a segment, as write_seg takes them.
    fractional_type: 0 PROBABILITY, otherwise OCCUPANCY.
    max_value: the value meaning 1.0 (0 means 255).
{_SEG_OUTPUT}
Example:
    >>> loam.write_seg_fractional(paths, maps, segments, fractional_type=1)
""",
    "write_seg_overlapping": f"""
Args:
    reference_paths: the single-frame images of the reference series.
    masks: uint8 0/1 (segments, rows, columns) or (segments, slices, rows, columns).
    segments: one dict a segment, as write_seg takes them.
{_SEG_OUTPUT}
Example:
    >>> loam.write_seg_overlapping(paths, masks, segments)
""",
    "build_seg_from_nifti": """
Args:
    ref_paths: the single-frame images of the reference series.
    mask_nii: a NIfTI-1 label volume co-framed with the series.
    segments: one dict a segment, with its labelID.

Returns:
    The Segmentation's Part-10 bytes.

Raises:
    RuntimeError: the volume is not on the series' grid, or holds none of the labels.

Example:
    >>> data = loam.build_seg_from_nifti(paths, "mask.nii.gz", [{"label": "liver", "labelID": 1}])
""",
    "wsi_open": """
Args:
    instances: the Part-10 bytes of one slide's instances.

Returns:
    The slide; its open_error() says why when the instances do not make one pyramid.

Example:
    >>> slide = loam.wsi_open(loam.wsi_write_pyramid(rgb))
""",
})

_PERFUSION = {
    "dce_parker_aif": "times_min: sample times (minutes).\n    hct: the haematocrit (0: none).",
    "dce_population_aif": "model: parker, georgiou, fritz_hansen, weinmann or mcgrath (any case).\n"
                          "    times_min: sample times (minutes).\n    hct: the haematocrit (0: none).",
    "dce_signal_to_conc": "signal: an SPGR signal curve.\n    n_baseline: its pre-contrast samples.\n"
                          "    t1_0_s: the native T1 (s).\n    tr_s: the repetition time (s).\n"
                          "    fa_deg: the flip angle (degrees).\n    r1: the agent's relaxivity (/mM/s).",
    "dce_t1_map_vfa": "volumes: (flip angles, rows, columns) or with slices, the signals.\n"
                      "    fa_deg: the flip angles (degrees).\n    tr_s: the repetition time (s).\n"
                      "    mask: voxels to fit (uint8), or None for all.",
    "dsc_signal_to_conc": "signal: a DSC signal curve.\n    n_baseline: its pre-bolus samples.\n"
                          "    te_s: the echo time (s).",
    "dsc_cumtrapz": "x: a curve.\n    dt_s: its sampling interval (s).",
    "dsc_cbv": "ct: a tissue concentration curve.\n    ref: the arterial curve.",
    "dsc_first_pass_end": "conc: a concentration curve.\n    n_baseline: its pre-bolus samples.\n"
                          "    k_sigma: the noise multiple that ends the first pass (0: the default).",
    "dsc_deconvolve_curve": "ct: a tissue concentration curve.\n    aif: the arterial input function.\n"
                            "    dt_s: the sampling interval (s).\n    method: osvd, ssvd or csvd (any case).\n"
                            "    reg: the SVD threshold (0: the method's default).",
    "dsc_leakage_correct": "ct: a tissue concentration curve.\n    ref: the reference (whole-brain) curve.\n"
                           "    dt_s: the sampling interval (s).",
    "dsc_fit_map": "signal: (time, rows, columns) signals.\n    aif: the arterial input function.\n"
                   "    dt_s: the sampling interval (s).\n    te_s: the echo time (s).\n"
                   "    n_baseline: pre-bolus samples.\n    mask: voxels to fit, or None.\n"
                   "    method: osvd, ssvd or csvd.\n    reg: the SVD threshold.\n"
                   "    leakage: correct for contrast leakage.",
    "dsc_fit_volume": "signal: (time, slices, rows, columns) signals.\n    aif: the arterial input function.\n"
                      "    dt_s: the sampling interval (s).\n    te_s: the echo time (s).\n"
                      "    n_baseline: pre-bolus samples.\n    mask: voxels to fit, or None.\n"
                      "    method: osvd, ssvd or csvd.\n    reg: the SVD threshold.\n"
                      "    leakage: correct for contrast leakage.",
}
_PERFUSION_RETURNS = {
    "dce_parker_aif": ("the plasma concentration (mM) at each time", "loam.dce_parker_aif([0.0, 0.5, 1.0])"),
    "dce_population_aif": ("the plasma concentration (mM) at each time",
                           'loam.dce_population_aif("georgiou", [0.0, 0.5, 1.0], hct=0.42)'),
    "dce_signal_to_conc": ("the concentration (mM) at each sample",
                           "loam.dce_signal_to_conc(signal, 5, 1.4, 0.005, 15.0, 4.5)"),
    "dce_t1_map_vfa": ("t1 (s) and m0 maps with 'fitted' marking the voxels fitted (uint8)",
                       "loam.dce_t1_map_vfa(volumes, [2, 5, 10, 15], tr_s=0.005)['t1']"),
    "dsc_signal_to_conc": ("the concentration (arbitrary units, delta R2*) at each sample",
                           "loam.dsc_signal_to_conc(signal, 5, 0.03)"),
    "dsc_cumtrapz": ("the running trapezoidal integral", "loam.dsc_cumtrapz([0.0, 1.0, 2.0], 1.5)"),
    "dsc_cbv": ("the ratio of the curves' areas (relative CBV)", "loam.dsc_cbv(tissue, aif)"),
    "dsc_first_pass_end": ("the index of the first pass's last sample", "loam.dsc_first_pass_end(conc, 5)"),
    "dsc_deconvolve_curve": ("cbf, cbv, mtt, tmax and quality flags",
                             'loam.dsc_deconvolve_curve(tissue, aif, 1.5, "osvd")["cbf"]'),
    "dsc_leakage_correct": ("the corrected curve with the leakage coefficients",
                            "loam.dsc_leakage_correct(tissue, reference, 1.5)"),
    "dsc_fit_map": ("cbf, cbv, mtt, tmax and ttp maps of the slice", "loam.dsc_fit_map(signal, aif, 1.5, 0.03, 5)"),
    "dsc_fit_volume": ("cbf, cbv, mtt, tmax and ttp maps of the volume",
                       "loam.dsc_fit_volume(signal, aif, 1.5, 0.03, 5)['cbf']"),
}
for _name, _args in _PERFUSION.items():
    _returns, _example = _PERFUSION_RETURNS[_name]
    SECTIONS[_name] = (f"\nArgs:\n    {_args}\n\nReturns:\n    {_returns[0].upper()}{_returns[1:]}.\n\n"
                       f"Raises:\n    ValueError: a misspelt name, or arrays of the wrong shape.\n\n"
                       f"Example:\n    >>> {_example}\n")


def sections(name: str) -> str:
    """The sections of a function's docstring, or "" when it has none yet."""
    return SECTIONS.get(name, "").strip("\n")
