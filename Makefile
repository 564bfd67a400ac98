# Two commands for a fresh machine; each brings up whatever is missing.
.PHONY: demo test coverage clean

demo:
	tools/demo

test:
	tools/test

coverage:
	tools/coverage

clean:
	rm -rf build
