# Two commands for a fresh machine; each brings up whatever is missing.
.PHONY: demo test clean

demo:
	tools/demo

test:
	tools/test

clean:
	rm -rf build
