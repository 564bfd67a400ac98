# Two commands for a fresh machine; each brings up whatever is missing.
.PHONY: demo test coverage icount clean

demo:
	tools/demo

test:
	tools/test

coverage:
	tools/coverage

# Instructions per operation under callgrind; ICOUNT_ARGS go to bench/icount.py.
icount:
	tools/icount $(ICOUNT_ARGS)

clean:
	rm -rf build
