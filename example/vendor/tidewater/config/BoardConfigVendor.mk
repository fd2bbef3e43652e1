TIDEWATER_BOARD := quillmere
